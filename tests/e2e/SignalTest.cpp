// The real program as a child process, ended by SIGTERM in the middle of a
// download and of an extraction: it stops the command, tidies up and exits
// with the signal's status, leaving no temporary file and nothing partial
// under a final name; what came of a file cut short waits to be resumed.
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "app/CUtilityApp.h"
#include "app/Collect.h"
#include "app/CommandLine.h"
#include "commands/Collection.h"
#include "commands/DownloadCommand.h"
#include "common/Fd.h"
#include "common/FolderLock.h"
#include "common/StagingFolder.h"
#include "desktop/Trash.h"
#include "download/FtpSession.h"
#include "download/PartialStore.h"
#include "download/dialup/NmMock.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "support/FakeMainWindow.h"
#include "support/FtpServer.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/ControlIds.h"

using namespace tyq;
using tyq::test::FtpServer;
using tyq::test::readFile;
using tyq::test::TempDir;
namespace fs = std::filesystem;

namespace {

// In the child: answers every message box with its default button and clicks
// one of the window's buttons once it shows, as a user would.
int childButton = 0;

class Clicker : public QObject {
  public:
    using QObject::QObject;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::Show) {
            return false;
        }
        if (auto* box = qobject_cast<QMessageBox*>(watched)) {
            QMetaObject::invokeMethod(
                box, [box] { box->defaultButton()->click(); }, Qt::QueuedConnection);
        } else if (watched->objectName() == QStringLiteral("mainWindow") && childButton != 0) {
            const int id = std::exchange(childButton, 0);
            auto* button =
                static_cast<QWidget*>(watched)->findChild<QPushButton*>(ui::controlName(id));
            QMetaObject::invokeMethod(button, &QPushButton::click, Qt::QueuedConnection);
        }
        return false;
    }
};

void installClicker() {
    if (childButton != 0) {
        // Owned by the application, like every other object of the child.
        QCoreApplication::instance()->installEventFilter(new Clicker(QCoreApplication::instance()));
    }
}
Q_COREAPP_STARTUP_FUNCTION(installClicker)

struct ChildRun {
    TempDir config;  // XDG_CONFIG_HOME
    TempDir work;    // the child's current directory, where its log goes
    TempDir local;   // the local folder
    pid_t pid = -1;

    void settings(const std::string& extra, const std::string& zipPassword) {
        const settings::ProfileStore profiles(config / "tyqlmftp");
        std::string scrambled = zipPassword;
        settings::scrambleZipPassword(scrambled);
        for (const auto& [key, value] :
             std::vector<std::pair<const char*, std::string>>{{settings::kUser, "mailbox"},
                                                              {settings::kPass, "secret"},
                                                              {settings::kZipPass, scrambled},
                                                              {settings::kLocal, local.path()},
                                                              {settings::kAol, "1"}}) {
            profiles.writeString(settings::kSection, key, value, settings::kFileName);
        }
        std::istringstream lines(extra);
        for (std::string line; std::getline(lines, line);) {
            const auto eq = line.find('=');
            profiles.writeString(settings::kSection, line.substr(0, eq), line.substr(eq + 1),
                                 settings::kFileName);
        }
    }

    void start(int button) {
        pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
            // What the download records stays with the test, not the user.
            ::setenv("XDG_STATE_HOME", (work / "state").c_str(), 1);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            if (::chdir(work.path().c_str()) != 0) {
                std::_Exit(120);
            }
            const std::string self = fs::read_symlink("/proc/self/exe").string();
            const std::string id = std::to_string(button);
            ::execl(self.c_str(), self.c_str(), "child", id.c_str(), nullptr);
            std::_Exit(121);
        }
    }

    // Waits until a temporary file of ours holding data shows in the folder.
    // A temporary file with bytes in it, and `whole` (if named) in place.
    bool waitForTemporary(const std::string& whole = {}) const {
        for (int i = 0; i < 30000; ++i) {
            std::error_code error;
            if (!whole.empty() && !fs::exists(local.path() / whole, error)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            for (const auto& entry : fs::recursive_directory_iterator(local.path(), error)) {
                std::error_code sizeError;
                // A file of a staging folder (an archive's entries have names of their own).
                if (isTemporaryName(entry.path().parent_path().filename().string()) &&
                    entry.file_size(sizeError) > 0) {
                    return true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // Bytes of the file whose fetch waits in the partial folder, or 0.
    std::uintmax_t partialBytes() const {
        std::error_code error;
        for (const auto& entry :
             fs::directory_iterator(local / download::kPartialFolderName, error)) {
            const auto name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos) {
                return entry.file_size(error);
            }
        }
        return 0;
    }

    int endWith(int signal) {
        ::kill(pid, signal);
        int status = 0;
        for (int i = 0; i < 1000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (::waitpid(pid, &status, WNOHANG) == 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    }

    std::set<std::string> names() const {
        std::set<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(local.path())) {
            found.insert(fs::relative(entry.path(), local.path()).string());
        }
        return found;
    }
};

void makeFile(const fs::path& file, std::size_t bytes) {
    std::ifstream random("/dev/urandom", std::ios::binary);
    std::ofstream out(file, std::ios::binary);
    std::vector<char> block(1 << 20);
    for (std::size_t done = 0; done < bytes; done += block.size()) {
        random.read(block.data(), static_cast<std::streamsize>(block.size()));
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
    }
}

TEST(Signal, TermMidFileStopsTheDownloadAndLeavesNothingPartial) {
    TempDir home;
    makeFile(home / "QLMA.ZIP", 1000);
    makeFile(home / "QLMB.ZIP", 8 << 20);
    // A stop keeps what came of the big one aside, and so does a kill, where
    // nothing runs at the end: the next run, a collection, goes on from there.
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        FtpServer server(
            FtpServer::pyftpdlib(home.path(), "mailbox", "secret", {"--throttle", "1000000"}));
        ChildRun run;
        run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(server.port()), "");
        run.start(ui::ids::kDownload);
        // The big one may be under way on a further connection before the small
        // one is in place.
        ASSERT_TRUE(run.waitForTemporary("QLMA.ZIP"));
        for (int i = 0; i < 30000 && run.partialBytes() == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_EQ(run.endWith(signal), signal == SIGTERM ? 128 + SIGTERM : 1000 + SIGKILL);

        // The small file is whole, the big one is not there at all; a kill
        // leaves the staging folder for the next run to sweep.
        auto names = run.names();
        std::erase_if(names, [](const std::string& name) { return isTemporaryName(name); });
        EXPECT_EQ(names, std::set<std::string>{"QLMA.ZIP"});
        EXPECT_EQ(readFile(run.local / "QLMA.ZIP"), readFile(home / "QLMA.ZIP"));
        const std::string log = readFile(run.work / "QLMTYFTP.Log");
        EXPECT_NE(log.find("Number of Files in the Mail Box:2"), std::string::npos) << log;
        EXPECT_TRUE(signal == SIGKILL || log.ends_with("AM") || log.ends_with("PM")) << log;

        const auto held = run.partialBytes();
        ASSERT_GT(held, 0u);
        FtpServer again(FtpServer::pyftpdlib(home.path(), "mailbox", "secret"));
        run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(again.port()), "");
        std::ostringstream out;
        commands::CollectEnvironment env;
        env.settingsFolder = run.config / "tyqlmftp";
        env.stateFolder = run.work / "state";
        env.out = &out;
        commands::collect(env);
        EXPECT_TRUE(readFile(run.local / "QLMB.ZIP") == readFile(home / "QLMB.ZIP")) << out.str();
        // Its last bytes are asked for again, to be compared before going on.
        const auto restAt = static_cast<long long>(held) - download::kResumeOverlap;
        EXPECT_NE(again.commands().find(restAt > 0 ? "REST " + std::to_string(restAt) + "\n"
                                                   : std::string("RETR QLMB.ZIP")),
                  std::string::npos)
            << again.commands();
        EXPECT_EQ(run.names(), (std::set<std::string>{"QLMA.ZIP", "QLMB.ZIP"}));
    }
}

TEST(Signal, TermMidArchiveStopsUnzippingAndKeepsTheArchiveWhole) {
    TempDir source;
    for (const char* name : {"a.dat", "b.dat", "c.dat"}) {
        makeFile(source / name, 40 << 20);
    }
    ChildRun run;
    const fs::path archive = run.local / "QLMBIG.ZIP";
    const std::string command = "cd '" + source.path().string() +
                                "' && 7zz a -tzip -mx0 -mem=AES256 -pzip-pass '" +
                                archive.string() + "' a.dat b.dat c.dat >/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string before = readFile(archive);
    run.settings("", "zip-pass");
    run.start(ui::ids::kUnzip);
    ASSERT_TRUE(run.waitForTemporary());
    EXPECT_EQ(run.endWith(SIGTERM), 128 + SIGTERM);

    EXPECT_EQ(run.names(), std::set<std::string>{"QLMBIG.ZIP"});
    EXPECT_TRUE(readFile(archive) == before);
}

// How a --collect child runs besides: its options, the time it takes for
// now (0: the system's), and a terminal for its standard output.
struct CollectRun {
    std::vector<std::string> options;
    std::time_t now = 0;
    std::string terminal;
};

// A --collect child as the timer starts it: stdin not a terminal, its lines
// in `out` in the work folder (its errors in `out`.err), on the session bus
// `bus`; `environment` changes the child's environment (and streams) last.
pid_t startCollect(const ChildRun& run, const std::string& out, const std::string& bus,
                   const std::function<void()>& environment = {}, const CollectRun& how = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv("XDG_CONFIG_HOME", run.config.path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", (run.work / "state").c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        const std::string file = (run.work / out).string();
        const std::string shown = how.terminal.empty() ? file : how.terminal;
        if (!std::freopen(shown.c_str(), "w", stdout) || !std::freopen("/dev/null", "r", stdin) ||
            !std::freopen((file + ".err").c_str(), "w", stderr)) {
            std::_Exit(120);
        }
        if (environment) {
            environment();
        }
        std::vector<std::string> words{fs::read_symlink("/proc/self/exe").string(), "collect",
                                       std::to_string(how.now)};
        words.insert(words.end(), how.options.begin(), how.options.end());
        std::vector<char*> argv;
        for (auto& word : words) {
            argv.push_back(word.data());
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        std::_Exit(121);
    }
    return pid;
}

// What the child wrote to its terminal until it exited; its exit status in
// `status`.
std::string terminalOutput(int master, const std::string& slave, pid_t child, int& status) {
    // Open here too: the terminal stays while the child opens and closes it.
    const Fd held(::open(slave.c_str(), O_RDWR | O_NOCTTY));
    std::string text;
    char buffer[4096];
    for (bool exited = false;;) {
        pollfd ready{master, POLLIN, 0};
        const auto got = ::poll(&ready, 1, exited ? 0 : 100) > 0
                             ? ::read(master, buffer, sizeof buffer)
                             : ssize_t{0};
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (exited) {
            return text;
        } else if (int raw = 0; ::waitpid(child, &raw, WNOHANG) == child) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            exited = true;  // what it wrote last is read still
        }
    }
}

int exitStatus(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A child that runs `test` as another user (nobody); it exits 0 when that held.
pid_t asAnotherUser(const std::function<bool()>& test) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool nobody =
            ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        std::_Exit(nobody && test() ? 0 : 1);
    }
    return pid;
}

constexpr char kNotify[] = " Notify \"";

// The program as the bus starts it by its name, from the build.
std::string applicationService(const TempDir& folder) {
    test::writeFile(folder / "org.tessary.tyqlmftp.service",
                    "[D-BUS Service]\nName=org.tessary.tyqlmftp\nExec=" TYQ_BIN_DIR
                    "/tyqlmftp --gapplication-service\n");
    return folder.path().string();
}

// The desktop: python3-dbusmock's notification server and a file manager on
// a private session bus that starts the program by its name, their calls
// logged. `closing`: each notification is closed as soon as it is shown, as
// by a user; otherwise it stays.
struct Notifications {
    TempDir services;
    test::NmMock bus{test::NmMock::Start::BusOnly, applicationService(services)};
    TempDir folder;
    pid_t pid = -1;
    pid_t files = -1;

    explicit Notifications(bool closing) {
        const std::string env = "DBUS_SESSION_BUS_ADDRESS='" + bus.address() + "' ";
        const std::string mock = env + "exec /usr/bin/python3 -m dbusmock --session -l '" +
                                 (folder / "calls").string() + "' -t notification_daemon";
        const std::string fileManager =
            env + "exec /usr/bin/python3 -m dbusmock --session -l '" + (folder / "shown").string() +
            "' org.freedesktop.FileManager1 /org/freedesktop/FileManager1 "
            "org.freedesktop.FileManager1";
        for (auto [child, command] : {std::pair{&pid, &mock}, std::pair{&files, &fileManager}}) {
            *child = ::fork();
            if (*child == 0) {
                ::execl("/bin/sh", "sh", "-c", command->c_str(), nullptr);
                std::_Exit(121);
            }
        }
        std::string ready =
            env + "gdbus wait --session --timeout 120 org.freedesktop.Notifications && " + env +
            "gdbus wait --session --timeout 120 org.freedesktop.FileManager1 && " + env +
            "dbus-send --session --print-reply --dest=org.freedesktop.FileManager1 "
            "/org/freedesktop/FileManager1 org.freedesktop.DBus.Mock.AddMethod string: "
            "string:ShowFolders string:ass string: string: >/dev/null";
        if (closing) {
            ready += " && " + env +
                     "dbus-send --session --print-reply --dest=org.freedesktop.Notifications "
                     "/org/freedesktop/Notifications org.freedesktop.DBus.Mock.AddMethod "
                     "string:org.freedesktop.Notifications string:Notify string:'susssasa{sv}i' "
                     "string:u string:\"ret = self.next_id; self.next_id += 1; self.EmitSignal("
                     "'org.freedesktop.Notifications', 'NotificationClosed', 'uu', [ret, 2])\" "
                     ">/dev/null";
        }
        EXPECT_EQ(std::system(ready.c_str()), 0);
    }
    ~Notifications() {
        for (const pid_t child : {pid, files}) {
            ::kill(child, SIGTERM);
            ::waitpid(child, nullptr, 0);
        }
    }
    // The calls the server had, a Notify from its summary on.
    std::string calls() const { return readFile(folder / "calls"); }
    // The folders the file manager was asked to show.
    std::string shown() const { return readFile(folder / "shown"); }
};

// --collect as the timer runs it: a child with no display, its lines on
// standard output, its exit status the verdict, its notifications on a
// desktop's bus; each row runs after the one before, on the same mailbox,
// folder and state.
TEST(Collect, NewFilesOnlyAndTheExitStatus) {
    TempDir home;
    TempDir source;
    makeFile(source / "a.dat", 3000);
    makeFile(source / "b.dat", 3000);
    makeFile(source / "d.dat", 3000);
    makeFile(source / "e.dat", 10);
    makeFile(home / "OTHER.ZIP", 2000);
    // Shown as a name, not taken for markup.
    makeFile(home / "Q&A.ZIP", 1000);
    const auto zip = [&](const char* password, const fs::path& archive, const char* entry) {
        const std::string command = "cd '" + source.path().string() + "' && zip -q -P '" +
                                    password + "' '" + archive.string() + "' " + entry;
        ASSERT_EQ(std::system(command.c_str()), 0);
    };
    zip("zip pw", home / "QLMA.ZIP", "a.dat");
    FtpServer server(FtpServer::pyftpdlib(home.path(), "mailbox", "secret"));
    // Every file stops short: a collection stays mid-file until stopped.
    FtpServer stalling(
        FtpServer::pyftpdlib(home.path(), "mailbox", "secret", {"--stall-after", "1000"}));
    const Notifications desktop(true);
    test::NmMock network;
    ChildRun run;
    run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(server.port()), "zip pw");
    struct Row {
        const char* what;
        std::function<void()> before;
        int status;
        int retrs;  // RETR commands the server has had so far
        std::set<std::string> names;
        const char* says;
        // In its one notification ("-" first: not in it); none when empty.
        std::vector<std::string> notice;
    };
    // A row's run besides, as its `before` sets it.
    CollectRun how;
    bool onTerminal = false;
    // Noon on a Monday: a day's collections, and the days after.
    constexpr std::time_t kDay = 86400;
    constexpr std::time_t kMonday = 1796644800;
    const std::set<std::string> first{"a.dat", "OTHER.ZIP", "Q&A.ZIP"};
    const std::set<std::string> more{"a.dat", "b.dat", "OTHER.ZIP", "Q&A.ZIP", "QLMC.ZIP"};
    const std::set<std::string> later{"a.dat", "b.dat", "OTHER.ZIP", "Q&A.ZIP"};
    auto waited = later;
    waited.insert("d.dat");
    auto resumed = waited;
    resumed.insert({"e.dat", "ZBIG.ZIP"});
    auto most = resumed;
    most.insert("NEW.ZIP");
    auto withF = most;
    withF.insert("f.dat");
    const auto state = run.work / "state/tyqlmftp/collected";
    const auto kept = run.work / "collected";
    const std::string failed = "\"The ORV mailbox could not be collected\"";
    const Row rows[] = {
        {"first run",
         {},
         0,
         3,
         first,
         "3 new files from the mailbox, 1 extracted",
         {"\"3 new files from the ORV mailbox\"", "OTHER.ZIP", "Q&amp;A.ZIP", "a.dat", "-QLMA.ZIP",
          " Notify \"Tessary FTP Utility (ORV Mail)\" ", "\"default\", \"Open Folder\"",
          "{\"desktop-entry\": \"org.tessary.tyqlmftp\", \"urgency\": 1}"}},
        {"nothing new", {}, 0, 3, first, "Nothing new in the mailbox", {}},
        {"a new archive, another zip password",
         [&] { zip("other", home / "QLMB.ZIP", "b.dat"); },
         77,
         4,
         {"a.dat", "OTHER.ZIP", "Q&A.ZIP", "QLMB.ZIP"},
         "Check the zip password",
         {failed, "1 new file from the mailbox, 0 extracted", "Check the zip password"}},
        {"the zip password mended: the archive comes again",
         [&] { run.settings({}, "other"); },
         0,
         5,
         {"a.dat", "b.dat", "OTHER.ZIP", "Q&A.ZIP"},
         "1 new file from the mailbox, 1 extracted",
         {"\"1 new file from the ORV mailbox\"", "b.dat", "-QLMB.ZIP"}},
        {"a new archive that is no archive",
         [&] { makeFile(home / "QLMC.ZIP", 500); },
         1,
         6,
         more,
         "QLMC.ZIP: not a zip archive",
         {"\"1 new file from the ORV mailbox\"",
          "QLMC.ZIP\n1 new file from the mailbox, 0 extracted"}},
        {"the same size, a new time",
         [&] {
             fs::remove(home / "QLMC.ZIP");
             fs::remove(run.local / "QLMC.ZIP");
             fs::last_write_time(home / "OTHER.ZIP",
                                 fs::last_write_time(home / "OTHER.ZIP") + std::chrono::hours(1));
         },
         0,
         7,
         later,
         "1 new file from the mailbox, 0 extracted",
         {"\"1 new file from the ORV mailbox\"", "OTHER.ZIP"}},
        {"an archive the window's Download left is extracted by the next collection",
         [&] {
             TempDir box;
             zip("other", box / "QLMD.ZIP", "d.dat");
             FtpServer windowBox(FtpServer::pyftpdlib(box.path(), "mailbox", "secret"));
             run.settings("Port=" + std::to_string(windowBox.port()), "other");
             test::FakeMainWindow window;
             window.fields = {"mailbox", "secret", "other", run.local.path().string()};
             window.aol = true;
             window.counts.downloads = 0;
             test::ScriptedPrompter prompter;
             // The window's record and log where the child's go.
             ::setenv("XDG_STATE_HOME", (run.work / "state").c_str(), 1);
             const auto here = fs::current_path();
             fs::current_path(run.work.path());
             commands::downloadFiles(window, settings::ProfileStore(run.config / "tyqlmftp"),
                                     prompter, fs::read_symlink("/proc/self/exe").parent_path(),
                                     desktop::moveToTrash);
             fs::current_path(here);
             fs::remove(run.work / "QLMTYFTP.Log");
             EXPECT_EQ(window.progressText(), "Downloading Finished!");
             EXPECT_TRUE(fs::exists(run.local / "QLMD.ZIP"));
             run.settings("Port=" + std::to_string(server.port()), "other");
         },
         0,
         7,
         waited,
         "Nothing new in the mailbox, 1 archive in the folder extracted",
         {"\"1 archive from the ORV mailbox extracted\"", "d.dat", "\"urgency\": 1}"}},
        {"a collection stopped mid-download: the archive in place is extracted next time",
         [&] {
             zip("other", home / "QLME.ZIP", "e.dat");
             makeFile(home / "ZBIG.ZIP", 100000);
             run.settings("Port=" + std::to_string(stalling.port()), "other");
             const pid_t stopped = startCollect(run, "stopped", desktop.bus.address());
             while (!fs::exists(run.local / "QLME.ZIP") &&
                    ::waitpid(stopped, nullptr, WNOHANG) == 0) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             const auto calls = desktop.calls().size();
             ::kill(stopped, SIGTERM);
             EXPECT_EQ(exitStatus(stopped), 75) << readFile(run.work / "stopped");
             // What came before the stop is told, by name: it waits to be extracted.
             EXPECT_NE(desktop.calls().find("QLME.ZIP", calls), std::string::npos);
             run.settings("Port=" + std::to_string(server.port()), "other");
         },
         0,
         8,
         resumed,
         "1 new file from the mailbox, 1 extracted",
         {"\"1 new file from the ORV mailbox\"", "ZBIG.ZIP", "e.dat"}},
        {"a record that cannot be saved stops the fetching",
         [&] {
             fs::rename(state, kept);
             fs::create_directory(state);
             makeFile(home / "LATE.ZIP", 300);
         },
         1,
         8,
         resumed,
         "Cannot save",
         {failed, "Cannot save"}},
        {"a metered connection",
         [&] {
             fs::remove(home / "LATE.ZIP");
             fs::remove(state);
             fs::rename(kept, state);
             makeFile(home / "NEW.ZIP", 700);
             network.setMetered(3);
         },
         75,
         8,
         resumed,
         "The connection is metered: nothing was fetched",
         {failed, "CollectOnMetered=1", "\"urgency\": 1}"}},
        {"a metered connection, collecting on it allowed",
         [&] { run.settings("CollectOnMetered=1", "other"); },
         0,
         9,
         most,
         "1 new file from the mailbox, 0 extracted\n1 file \u00b7 700 bytes \u00b7 ",
         {"\"1 new file from the ORV mailbox\"", "NEW.ZIP"}},
        {"a file fetched again, quietly",
         [&] {
             how.options = {"--quiet", "--again", "NEW.ZIP", "--again", "GONE.ZIP"};
         },
         0,
         10,
         most,
         "GONE.ZIP: not in the mailbox",
         {"\"1 new file from the ORV mailbox\"", "NEW.ZIP"}},
        {"on a terminal: the bytes on one line, and a summary",
         [&] {
             how.options = {"--again", "NEW.ZIP"};
             onTerminal = true;
         },
         0,
         11,
         most,
         "\rNEW.ZIP \u00b7 0 of 700 bytes (0%)\033[K",
         {"NEW.ZIP"}},
        // Named, not fetched, and no failure.
        {"a new copy of a file that is read-only here",
         [&] {
             fs::last_write_time(home / "OTHER.ZIP",
                                 fs::last_write_time(home / "OTHER.ZIP") + std::chrono::hours(1));
             fs::permissions(run.local / "OTHER.ZIP", fs::perms::owner_read);
         },
         0,
         11,
         most,
         "OTHER.ZIP: kept, it is read-only",
         {}},
        // A failure is told once, and once more, critically, when
        // collections have failed on three days; a success starts afresh.
        {"the server gone",
         [&] {
             stalling.kill();
             run.settings("Port=" + std::to_string(stalling.port()), "other");
             how.now = kMonday;
             // Waiting in the folder: extracted all the same.
             makeFile(source / "f.dat", 100);
             zip("other", run.local / "QLMF.ZIP", "f.dat");
         },
         75,
         11,
         withF,
         "Could not log in to the mailbox: The server refused the connection on port",
         {"\"1 archive from the ORV mailbox extracted\"", "f.dat",
          "; 1 archive in the folder extracted", "\"urgency\": 1}"}},
        {"still gone that day",
         [&] {
             fs::remove(run.local / "f.dat");
             how.now = kMonday + 3600;
         },
         75,
         11,
         most,
         "Could not log in",
         {}},
        {"still gone the next day", [&] { how.now = kMonday + kDay; }, 75, 11, most, "log", {}},
        {"still gone on the third day",
         [&] { how.now = kMonday + 2 * kDay; },
         75,
         11,
         most,
         "Could not log in",
         {failed, "failed on 3 days in a row", "\"urgency\": 2}"}},
        {"still gone on the fourth day",
         [&] { how.now = kMonday + 3 * kDay; },
         75,
         11,
         most,
         "Could not log in",
         {}},
        {"the server back",
         [&] {
             run.settings("Port=" + std::to_string(server.port()), "other");
             how.now = kMonday + 4 * kDay;
         },
         0,
         11,
         most,
         "Nothing new in the mailbox",
         {}},
        {"gone again after a success",
         [&] {
             run.settings("Port=" + std::to_string(stalling.port()), "other");
             how.now = kMonday + 5 * kDay;
         },
         75,
         11,
         most,
         "Could not log in",
         {failed, "\"urgency\": 1}"}},
        {"a refused log-in",
         [&] {
             run.settings("Port=" + std::to_string(server.port()), "other");
             settings::ProfileStore(run.config / "tyqlmftp")
                 .writeString(settings::kSection, settings::kPass, "wrong", settings::kFileName);
             how.now = kMonday + 5 * kDay;
         },
         77,
         11,
         most,
         "Could not log in",
         {failed, "Could not log in to the mailbox: The server refused the log-in",
          "\"urgency\": 2}"}},
        {"refused again: told before",
         [&] { how.now = kMonday + 5 * kDay; },
         77,
         11,
         most,
         "Could not log in",
         {}},
        {"no mailbox set up",
         [&] {
             settings::ProfileStore(run.config / "tyqlmftp")
                 .writeString(settings::kSection, settings::kHost, "", settings::kFileName);
             how.now = kMonday + 5 * kDay;
         },
         78,
         11,
         most,
         "No mailbox is set up",
         {failed, "No mailbox is set up"}},
    };
    for (const auto& row : rows) {
        how = {};
        onTerminal = false;
        if (row.before) {
            row.before();
        }
        const auto before = desktop.calls().size();
        const Fd terminal(onTerminal ? ::posix_openpt(O_RDWR | O_NOCTTY) : -1);
        if (terminal.get() >= 0) {
            ASSERT_EQ(::grantpt(terminal.get()) | ::unlockpt(terminal.get()), 0);
            how.terminal = ::ptsname(terminal.get());
        }
        const pid_t child = startCollect(run, "out", desktop.bus.address(), {}, how);
        int status = terminal.get() >= 0 ? 0 : exitStatus(child);
        const std::string out = terminal.get() >= 0
                                    ? terminalOutput(terminal.get(), how.terminal, child, status)
                                    : readFile(run.work / "out");
        const std::string err = readFile(run.work / "out.err");
        const std::string said = out + err;
        EXPECT_EQ(status, row.status) << row.what << "\n" << said;
        if (server.running()) {
            EXPECT_EQ(server.sent("RETR"), row.retrs) << row.what;
        }
        EXPECT_EQ(run.names(), row.names) << row.what;
        // What went well on standard output, what did not on standard error;
        // quietly, nothing but that.
        EXPECT_NE((row.status == 0 ? said : err).find(row.says), std::string::npos)
            << row.what << "\n"
            << said;
        EXPECT_TRUE(how.options.empty() || how.options[0] != "--quiet" || out.empty()) << out;
        const std::string told = desktop.calls().substr(before);
        const auto notify = told.find(kNotify);
        EXPECT_EQ(notify != std::string::npos, !row.notice.empty()) << row.what << "\n" << told;
        EXPECT_EQ(told.find(kNotify, notify + 1), std::string::npos) << row.what << "\n" << told;
        for (const auto& part : row.notice) {
            EXPECT_EQ(told.find(part.substr(part.starts_with('-'))) == std::string::npos,
                      part.starts_with('-'))
                << row.what << ": " << part << "\n"
                << told;
        }
    }
    EXPECT_EQ(readFile(run.local / "a.dat"), readFile(source / "a.dat"));
    // The collection's own transfer logs, not the window's.
    EXPECT_FALSE(fs::exists(run.work / "QLMTYFTP.Log"));
    EXPECT_FALSE(fs::is_empty(run.work / "state/tyqlmftp/logs"));
}

// A second collection while one is under way leaves the folder to it; one
// that has notified has ended, and its Open Folder works after it.
TEST(Collect, TwoAtOnce) {
    TempDir home;
    makeFile(home / "DATA.ZIP", 100000);
    // Every file stops short: the first collection stays mid-file.
    FtpServer stalling(
        FtpServer::pyftpdlib(home.path(), "mailbox", "secret", {"--stall-after", "1000"}));
    FtpServer server(FtpServer::pyftpdlib(home.path(), "mailbox", "secret"));
    const Notifications desktop(false);
    ChildRun run;
    run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(stalling.port()), "");
    const auto bus = desktop.bus.address();
    const pid_t first = startCollect(run, "first", bus);
    while (stalling.sent("RETR") == 0 && ::waitpid(first, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(exitStatus(startCollect(run, "second", bus)), 0);
    // Said as a warning: nothing was collected.
    EXPECT_NE(readFile(run.work / "second.err").find("Another command is working in this folder"),
              std::string::npos)
        << readFile(run.work / "second");
    ::kill(first, SIGTERM);
    EXPECT_EQ(exitStatus(first), 75) << readFile(run.work / "first");

    // Told, and done: the collection ends with its notification still up,
    // waiting for no click.
    const fs::path data = run.local / "ORV Data";
    fs::create_directory(data);
    run.settings("Port=" + std::to_string(server.port()) + "\nLocal=" + data.string(), "");
    EXPECT_EQ(exitStatus(startCollect(run, "third", bus)), 0) << readFile(run.work / "third");
    const std::string told = desktop.calls();
    ASSERT_NE(told.find(kNotify), std::string::npos) << readFile(run.work / "third");
    EXPECT_EQ(exitStatus(startCollect(run, "fourth", bus)), 0);
    EXPECT_NE(readFile(run.work / "fourth").find("Nothing new in the mailbox"), std::string::npos)
        << readFile(run.work / "fourth");

    // Its Open Folder, after it has gone: the desktop starts the program by
    // its bus name with the action the notification names.
    const std::string head = "\"app.open-folder(";
    const auto key = told.find(head);
    ASSERT_NE(key, std::string::npos) << told;
    const auto target = key + head.size();
    const std::string value = told.substr(target, told.find(")\"", target) - target);
    const std::string click = "DBUS_SESSION_BUS_ADDRESS='" + bus +
                              "' gdbus call --session --dest org.tessary.tyqlmftp --object-path "
                              "/org/tessary/tyqlmftp --method "
                              "org.freedesktop.Application.ActivateAction open-folder \"[<" +
                              value + ">]\" \"{'activation-token': <'token-1'>}\" >/dev/null";
    EXPECT_EQ(std::system(click.c_str()), 0) << click;
    const std::string shown =
        "ShowFolders [\"file://" + run.local.path().string() + "/ORV%20Data\"] \"token-1\"";
    for (int tries = 0; desktop.shown().find(shown) == std::string::npos && tries < 600; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_NE(desktop.shown().find(shown), std::string::npos) << desktop.shown();

    // A folder held by a window in a session, for a collection without
    // XDG_RUNTIME_DIR: it waits its turn. Another user can neither open the
    // lock file nor block the folder, not even by making the folder that
    // stands in for a missing runtime folder (removed again if it made it).
    for (const fs::path& folder : {run.local.path(), data}) {
        fs::permissions(folder, fs::perms::others_read | fs::perms::others_exec,
                        fs::perm_options::add);
    }
    const auto collected = [&] {
        EXPECT_EQ(exitStatus(startCollect(run, "held", bus, [] { ::unsetenv("XDG_RUNTIME_DIR"); })),
                  0);
        return readFile(run.work / "held.err").find(kFolderBusyText) == std::string::npos;
    };
    {
        TempDir session;
        const std::string saved =
            std::getenv("XDG_RUNTIME_DIR") ? std::getenv("XDG_RUNTIME_DIR") : "";
        ::setenv("XDG_RUNTIME_DIR", session.path().c_str(), 1);
        const FolderLock window(data, std::chrono::milliseconds(0));
        saved.empty() ? ::unsetenv("XDG_RUNTIME_DIR")
                      : ::setenv("XDG_RUNTIME_DIR", saved.c_str(), 1);
        ASSERT_TRUE(window.held());
        const std::string file = (data / kFolderLockName).string();
        EXPECT_EQ(exitStatus(asAnotherUser([&] {
                      return ::open(file.c_str(), O_RDONLY) < 0 && ::open(file.c_str(), O_RDWR) < 0;
                  })),
                  0);
        EXPECT_FALSE(collected());
    }
    const fs::path blocking = "/tmp/tyqlmftp-" + std::to_string(::geteuid());
    const bool blockingThere = fs::exists(blocking);
    const TempDir nobodys;
    ASSERT_EQ(::chown(nobodys.path().c_str(), 65534, 65534), 0);
    EXPECT_EQ(exitStatus(asAnotherUser([&] {
                  ::setenv("XDG_RUNTIME_DIR", nobodys.path().c_str(), 1);
                  ::mkdir(blocking.c_str(), 0777);
                  return FolderLock(data, std::chrono::milliseconds(0)).held();
              })),
              0);
    EXPECT_TRUE(collected());
    if (!blockingThere) {
        fs::remove(blocking);
    }
}

// The record's last word on each file, "NAME:ok|waiting|failed", in name order.
std::string recorded(const fs::path& state) {
    std::map<std::string, std::string> last;
    std::istringstream lines(readFile(state));
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) {
            f.push_back(field);
        }
        if (f.size() >= 6 && f[0] == "file") {
            last[f[1]] = f[5];
        }
    }
    std::string out;
    for (const auto& [name, work] : last) {
        out += (out.empty() ? "" : " ") + name + ":" + work;
    }
    return out;
}

// Every place a collection writes, full, read-only or not ours to write (as
// root without its override of file modes), each on its own folders: it
// ends with its status and a line on standard error, never a crash, and the
// record names as collected only what is.
TEST(Collect, EveryWriteThatFailsIsAStatus) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "mounting needs root";
    }
    TempDir home;
    TempDir source;
    makeFile(source / "a.dat", 3000);
    ASSERT_EQ(std::system(("cd '" + source.path().string() + "' && zip -q -P 'zip pw' '" +
                           (home / "QLMA.ZIP").string() +
                           "' a.dat && head -c 67108864 /dev/zero >z.dat && zip -q -P 'zip pw' "
                           "QLMZ.ZIP z.dat")
                              .c_str()),
              0);
    makeFile(home / "BIG.ZIP", 1 << 20);
    FtpServer server(FtpServer::pyftpdlib(home.path(), "mailbox", "secret"));
    FtpServer stalling(
        FtpServer::pyftpdlib(home.path(), "mailbox", "secret", {"--stall-after", "1000"}));
    using Held = std::vector<std::shared_ptr<void>>;
    const auto tmpfs = [](const fs::path& at, const char* options, bool full) {
        auto disk = std::make_shared<test::OtherFileSystem>(at, false, options);
        EXPECT_TRUE(disk->mounted()) << at;
        if (full) {
            disk->fill();
        }
        return Held{disk};
    };
    const auto readOnly = [](const fs::path& at) {
        fs::create_directories(at);
        auto folder = std::make_shared<test::ReadOnlyFolder>(at);
        EXPECT_TRUE(folder->made()) << at;
        return Held{folder};
    };
    const auto stateFolder = [](const ChildRun& run) { return run.work / "state/tyqlmftp"; };
    struct Row {
        const char* what;
        std::function<Held(ChildRun&)> before;
        int status;
        const char* says;
        const char* recorded;
        bool ownModesOnly = false;  // root's override of file modes dropped
        bool outputClosed = false;  // standard output a pipe no one reads
    };
    const Row rows[] = {
        {"state folder full",
         [&](ChildRun& run) { return tmpfs(stateFolder(run), "size=64k", true); }, 75,
         "Disk full while accessing", ""},
        {"state folder full after the files' lines: the record cannot be rewritten",
         [&](ChildRun& run) {
             const auto disk = tmpfs(stateFolder(run), "size=64k", false).front();
             std::static_pointer_cast<test::OtherFileSystem>(disk)->fill(4096);
             // The log goes nowhere; the bind is undone before the disk.
             return Held{readOnly(stateFolder(run) / "logs").front(), disk};
         },
         75, "No space left on device", "BIG.ZIP:ok QLMA.ZIP:ok"},
        {"state folder read-only", [&](ChildRun& run) { return readOnly(stateFolder(run)); }, 1,
         "Read-only file system", ""},
        {"state file not the user's to write",
         [&](ChildRun& run) {
             fs::create_directories(stateFolder(run));
             test::writeFile(stateFolder(run) / "collected", "");
             fs::permissions(stateFolder(run) / "collected", fs::perms::owner_read);
             return Held{};
         },
         1, "Permission denied", "", true},
        {"log folder full",
         [&](ChildRun& run) { return tmpfs(stateFolder(run) / "logs", "size=64k", true); }, 75,
         "Disk full", ""},
        {"log folder read-only", [&](ChildRun& run) { return readOnly(stateFolder(run) / "logs"); },
         0, "could not be created", "BIG.ZIP:ok QLMA.ZIP:ok"},
        {"Location full mid-file",
         [&](ChildRun& run) { return tmpfs(run.local.path(), "size=512k", false); }, 75,
         "the disk is full", "BIG.ZIP:failed QLMA.ZIP:ok"},
        {"Location full before the first byte",
         [&](ChildRun& run) { return tmpfs(run.local.path(), "size=512k", true); }, 75,
         "QLMA.ZIP: the disk is full", "BIG.ZIP:failed QLMA.ZIP:failed"},
        {"Location full while extracting",
         [&](ChildRun& run) {
             auto held = tmpfs(run.local.path(), "size=1536k", false);
             fs::copy_file(source / "QLMZ.ZIP", run.local / "QLMZ.ZIP");
             return held;
         },
         75, "QLMZ.ZIP: ", "BIG.ZIP:ok QLMA.ZIP:ok"},
        {"Location read-only, an archive waiting in it",
         [&](ChildRun& run) {
             fs::copy_file(home / "QLMA.ZIP", run.local / "QLMA.ZIP");
             return readOnly(run.local.path());
         },
         1, "QLMA.ZIP: cannot write to the folder", "BIG.ZIP:failed QLMA.ZIP:failed"},
        {"Location not the user's to write",
         [&](ChildRun& run) {
             fs::permissions(run.local.path(), fs::perms::owner_read | fs::perms::owner_exec);
             return Held{};
         },
         1, "BIG.ZIP: cannot write to the folder", "BIG.ZIP:failed QLMA.ZIP:failed", true},
        {"lock file unmakeable: no inode left for it",
         [&](ChildRun& run) { return tmpfs(run.local.path(), "size=4m,nr_inodes=1", false); }, 75,
         "BIG.ZIP: the disk is full", "BIG.ZIP:failed QLMA.ZIP:failed"},
        {"staging folder unmakeable: no inode left for it",
         [&](ChildRun& run) { return tmpfs(run.local.path(), "size=4m,nr_inodes=2", false); }, 75,
         "the disk is full", "BIG.ZIP:failed QLMA.ZIP:failed"},
        {"Location unmakeable: its parent read-only",
         [&](ChildRun& run) {
             run.settings("Local=" + (run.local / "sub").string(), "zip pw");
             return readOnly(run.local.path());
         },
         1, "Cannot create", ""},
        {"standard output a pipe closed early", [](ChildRun&) { return Held{}; }, 0, "",
         "BIG.ZIP:ok QLMA.ZIP:ok", false, true},
        {"partial store read-only",
         [&](ChildRun& run) {
             run.settings("Port=" + std::to_string(stalling.port()), "zip pw");
             const pid_t stopped = startCollect(run, "stopped", "unix:path=/nonexistent");
             while (run.partialBytes() == 0 && ::waitpid(stopped, nullptr, WNOHANG) == 0) {
                 std::this_thread::sleep_for(std::chrono::milliseconds(10));
             }
             ::kill(stopped, SIGTERM);
             EXPECT_EQ(exitStatus(stopped), 75) << readFile(run.work / "stopped");
             run.settings("Port=" + std::to_string(server.port()), "zip pw");
             return readOnly(run.local / download::kPartialFolderName);
         },
         0, "2 new files from the mailbox, 1 extracted", "BIG.ZIP:ok QLMA.ZIP:ok"},
    };
    for (const auto& row : rows) {
        ChildRun run;
        run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(server.port()), "zip pw");
        const Held held = row.before(run);
        const pid_t child = startCollect(run, "out", "unix:path=/nonexistent", [&] {
            if (row.ownModesOnly) {
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
                ::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
            }
            int ends[2];
            if (row.outputClosed && ::pipe(ends) == 0) {
                ::dup2(ends[1], STDOUT_FILENO);
                ::close(ends[0]);
            }
        });
        const int status = exitStatus(child);
        const std::string errors = readFile(run.work / "out.err");
        const std::string said = readFile(run.work / "out") + errors;
        EXPECT_EQ(status, row.status) << row.what << "\n" << said;
        EXPECT_NE(said.find(row.says), std::string::npos) << row.what << "\n" << said;
        EXPECT_TRUE(status == 0 || !errors.empty()) << row.what << "\n" << said;
        EXPECT_EQ(recorded(stateFolder(run) / "collected"), row.recorded) << row.what;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // "collect NOW OPTIONS...": --collect with its options, at the time
    // NOW (seconds since the epoch; 0: the system's clock).
    if (argc >= 3 && std::string(argv[1]) == "collect") {
        std::vector<const char*> line{argv[0], "--collect"};
        line.insert(line.end(), argv + 3, argv + argc);
        const auto parsed = app::parseCommandLine(static_cast<int>(line.size()), line.data());
        const std::time_t now = std::atoll(argv[2]);
        return app::runCollect(
            parsed.collect, now == 0 ? std::function<std::time_t()>() : [now] { return now; });
    }
    if (argc == 3 && std::string(argv[1]) == "child") {
        childButton = std::atoi(argv[2]);
        int childArgc = 1;
        return app::CUtilityApp().run(childArgc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
