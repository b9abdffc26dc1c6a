// The real program as a child process, ended by SIGTERM in the middle of a
// download and of an extraction: it stops the command, tidies up and exits
// with the signal's status, leaving no temporary file and nothing partial.
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
#include "common/TempFiles.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "support/FtpServer.h"
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
    makeFile(home / "QLMB.ZIP", 40 << 20);
    FtpServer server(
        FtpServer::pyftpdlib(home.path(), "mailbox", "secret", {"--throttle", "4000000"}));
    ChildRun run;
    run.settings("QLMHost=127.0.0.1\nPort=" + std::to_string(server.port()), "");
    run.start(ui::ids::kDownload);
    // The big one may be under way on a further connection before the small
    // one is in place.
    ASSERT_TRUE(run.waitForTemporary("QLMA.ZIP"));
    EXPECT_EQ(run.endWith(SIGTERM), 128 + SIGTERM);

    // The small file is whole, the big one is not there at all.
    EXPECT_EQ(run.names(), std::set<std::string>{"QLMA.ZIP"});
    EXPECT_EQ(readFile(run.local / "QLMA.ZIP"), readFile(home / "QLMA.ZIP"));
    const std::string log = readFile(run.work / "QLMTYFTP.Log");
    EXPECT_NE(log.find("Number of Files in the Mail Box:2"), std::string::npos) << log;
    EXPECT_TRUE(log.ends_with("AM") || log.ends_with("PM")) << log;
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

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "child") {
        childButton = std::atoi(argv[2]);
        int childArgc = 1;
        return app::CUtilityApp().run(childArgc, argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
