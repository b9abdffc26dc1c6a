// The real program as a child process, ended by SIGTERM in the middle of a
// download and of an extraction: it stops the command, tidies up and exits
// with the signal's status, leaving no temporary file and nothing partial
// under a final name; what came of a file cut short waits to be resumed.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "app/CUtilityApp.h"
#include "app/Collect.h"
#include "commands/Collection.h"
#include "commands/DownloadCommand.h"
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

// A --collect child as the timer starts it: stdin not a terminal, its lines
// in `out` in the work folder (its errors in `out`.err), on the session bus
// `bus`; `environment` changes the child's environment first.
pid_t startCollect(const ChildRun& run, const std::string& out, const std::string& bus,
                   const std::function<void()>& environment = {}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (environment) {
            environment();
        }
        ::setenv("XDG_CONFIG_HOME", run.config.path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", (run.work / "state").c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
        const std::string file = (run.work / out).string();
        if (!std::freopen(file.c_str(), "w", stdout) || !std::freopen("/dev/null", "r", stdin) ||
            !std::freopen((file + ".err").c_str(), "w", stderr)) {
            std::_Exit(120);
        }
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        ::execl(self.c_str(), self.c_str(), "collect", nullptr);
        std::_Exit(121);
    }
    return pid;
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
        std::vector<std::string> notice;  // in its one notification; none when empty
    };
    const std::set<std::string> first{"a.dat", "OTHER.ZIP", "Q&A.ZIP"};
    const std::set<std::string> more{"a.dat", "b.dat", "OTHER.ZIP", "Q&A.ZIP", "QLMC.ZIP"};
    const std::set<std::string> later{"a.dat", "b.dat", "OTHER.ZIP", "Q&A.ZIP"};
    auto waited = later;
    waited.insert("d.dat");
    auto resumed = waited;
    resumed.insert({"e.dat", "ZBIG.ZIP"});
    auto most = resumed;
    most.insert("NEW.ZIP");
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
         {"\"3 new files from the ORV mailbox\"", "OTHER.ZIP", "Q&amp;A.ZIP", "QLMA.ZIP",
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
         {"\"1 new file from the ORV mailbox\"", "QLMB.ZIP"}},
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
         {}},
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
             ::kill(stopped, SIGTERM);
             EXPECT_EQ(exitStatus(stopped), 75) << readFile(run.work / "stopped");
             run.settings("Port=" + std::to_string(server.port()), "other");
         },
         0,
         8,
         resumed,
         "1 new file from the mailbox, 1 extracted",
         {"\"1 new file from the ORV mailbox\"", "ZBIG.ZIP"}},
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
         {}},
        {"a metered connection, collecting on it allowed",
         [&] { run.settings("CollectOnMetered=1", "other"); },
         0,
         9,
         most,
         "1 new file from the mailbox, 0 extracted",
         {"\"1 new file from the ORV mailbox\"", "NEW.ZIP"}},
        // Named, not fetched, and no failure.
        {"a new copy of a file that is read-only here",
         [&] {
             fs::last_write_time(home / "OTHER.ZIP",
                                 fs::last_write_time(home / "OTHER.ZIP") + std::chrono::hours(1));
             fs::permissions(run.local / "OTHER.ZIP", fs::perms::owner_read);
         },
         0,
         9,
         most,
         "OTHER.ZIP: kept, it is read-only",
         {}},
        {"a refused log-in",
         [&] {
             settings::ProfileStore(run.config / "tyqlmftp")
                 .writeString(settings::kSection, settings::kPass, "wrong", settings::kFileName);
         },
         77,
         9,
         most,
         "Could not log in",
         {failed, "Could not log in to the mailbox: The server refused the log-in",
          "\"urgency\": 2}"}},
        {"the server gone", [&] { server.kill(); }, 75, 9, most, "Could not log in", {}},
        {"no mailbox set up",
         [&] {
             settings::ProfileStore(run.config / "tyqlmftp")
                 .writeString(settings::kSection, settings::kHost, "", settings::kFileName);
         },
         78,
         9,
         most,
         "No mailbox is set up",
         {failed, "No mailbox is set up"}},
    };
    for (const auto& row : rows) {
        if (row.before) {
            row.before();
        }
        const auto before = desktop.calls().size();
        const int status = exitStatus(startCollect(run, "out", desktop.bus.address()));
        const std::string said = readFile(run.work / "out") + readFile(run.work / "out.err");
        EXPECT_EQ(status, row.status) << row.what << "\n" << said;
        if (server.running()) {
            EXPECT_EQ(server.sent("RETR"), row.retrs) << row.what;
        }
        EXPECT_EQ(run.names(), row.names) << row.what;
        EXPECT_NE(said.find(row.says), std::string::npos) << row.what << "\n" << said;
        const std::string told = desktop.calls().substr(before);
        const auto notify = told.find(kNotify);
        EXPECT_EQ(notify != std::string::npos, !row.notice.empty()) << row.what << "\n" << told;
        EXPECT_EQ(told.find(kNotify, notify + 1), std::string::npos) << row.what << "\n" << told;
        for (const auto& part : row.notice) {
            EXPECT_NE(told.find(part), std::string::npos) << row.what << ": " << part << "\n"
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
    EXPECT_NE(readFile(run.work / "second").find("Another command is working in this folder"),
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
        return readFile(run.work / "held").find(kFolderBusyText) == std::string::npos;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "collect") {
        return app::runCollect();
    }
    if (argc == 3 && std::string(argv[1]) == "child") {
        childButton = std::atoi(argv[2]);
        int childArgc = 1;
        return app::CUtilityApp().run(childArgc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
