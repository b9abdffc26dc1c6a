// Renders the program's windows to PNG files, for a look at their layout:
//   ui_screenshots <folder>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QPushButton>
#include <QThread>
#include <QTimer>

#include "desktop/Keyring.h"
#include "support/ScriptedPrompter.h"
#include "support/TempDir.h"
#include "ui/CAboutDlg.h"
#include "ui/CMainDlg.h"
#include "ui/CSetupDlg.h"
#include "ui/HelpViewer.h"

namespace {

void save(QWidget& widget, const QString& file) {
    widget.show();
    QApplication::processEvents();
    widget.grab().save(file);
}

// The window while a command runs, taken on the window's thread.
void saveActive(tyq::MainWindowPort& port, const QString& file) {
    port.runOnWindowThread([&] {
        QApplication::processEvents();
        save(*QApplication::activeWindow(), file);
    });
}

// A command's end as a stop leaves it: the bar where it stopped, the words.
tyq::commands::CommandOutcome endStopped(tyq::MainWindowPort& port, const tyq::ByteProgress& at,
                                         const std::string& headline, const std::string& detail,
                                         int items, std::int64_t bytes) {
    port.setProgressBytes(at);
    port.setProgressText(headline);
    port.setProgressDetail(detail);
    return {{}, headline, detail, items, bytes};
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    tyq::test::TempDir settingsFolder;
    tyq::test::writeFile(settingsFolder / "TYFTP.INI",
                         "[QLMORVMAIL]\nUser=orv12345\nPass=secret\nLocal=/home/anna/QLM\n");
    // The keyring choice is offered where a keyring answers on the session bus.
    const tyq::settings::ProfileStore profiles(
        settingsFolder.path(),
        std::make_shared<tyq::desktop::Keyring>(tyq::desktop::Prompting::Never));
    tyq::test::ScriptedPrompter prompter;

    // Once set, each command ends as a stop ends it.
    bool stopped = false;
    tyq::ui::MainDlgHooks hooks;
    hooks.download = [&](tyq::MainWindowPort& port, tyq::Prompter&) {
        if (stopped) {
            return endStopped(port, {"DATA.ZIP", 3, 6, 40'000'000, 62'900'000, 52'000'000, -1},
                              "Download stopped: 2 of 6 files downloaded",
                              "DATA.ZIP and 3 more were not downloaded; 40.0 MB of DATA.ZIP kept; "
                              "Download Files goes on from there",
                              2, 12'000'000);
        }
        port.setProgressText("Downloading  QLM0102.ZIP to /home/anna/QLM");
        port.setProgressBytes({"QLM0102.ZIP", 2, 5, 0, 48'200'000, 31'000'000, 160'000'000});
        // Later, so the window measures a rate.
        QThread::msleep(1100);
        port.setProgressBytes(
            {"QLM0102.ZIP", 2, 5, 20'500'000, 48'200'000, 51'500'000, 160'000'000});
        QThread::msleep(150);
        saveActive(port, folder + "/main-window-downloading.png");
        port.setProgressBytes({"QLM0305.ZIP", 5, 5, 9'800'000, 9'800'000, 112'400'000});
        port.setProgressText("Downloading Finished!");
        return tyq::commands::CommandOutcome{{}, "Downloading Finished!", "", 5, 112'400'000};
    };
    hooks.unzip = [&](tyq::MainWindowPort& port, tyq::Prompter&) {
        if (stopped) {
            return endStopped(port, {"QLM0102.ZIP", 2, 3, 1'000, 300'000'000, 405'000'000, -1},
                              "Unzipping stopped: 1 of 3 archives extracted",
                              "QLM0102.ZIP and QLM0103.ZIP stay whole; Unzip Download Files "
                              "takes them up again",
                              1, 404'800'000);
        }
        port.setProgressText("Unzipping files in progress...");
        port.setProgressDetail("");
        port.setProgressBytes({"QLM0103.ZIP", 1, 3, 0, 404'800'000, 0, 1'150'000'000});
        QThread::msleep(1100);
        port.setProgressBytes(
            {"QLM0103.ZIP", 1, 3, 88'000'000, 404'800'000, 88'000'000, 1'150'000'000});
        QThread::msleep(150);
        saveActive(port, folder + "/main-window-unzipping.png");
        port.setProgressText("Unzipping Finished!");
        return tyq::commands::CommandOutcome{{}, "Unzipping Finished!", "", 3, 1'150'000'000};
    };
    tyq::ui::CMainDlg window(profiles, prompter, settingsFolder.path(), std::move(hooks));
    // At rest, as it opens.
    save(window, folder + "/main-window.png");
    window.setProgressText(
        "An exception occurred when attempting to create an FTP connection.\r\n  Please check "
        "your internet configuration and make sure your environment\r\n is set up with "
        "WININET.DLL in the path.");
    window.setProgressDetail("Server not found: ftp.example.invalid");
    save(window, folder + "/main-window-failed.png");
    // A detail longer than its lines: it scrolls, every word there.
    window.setProgressText("3 of 9 files downloaded");
    window.setProgressDetail(
        "QLM0104.ZIP failed: 550 Permission denied; QLM0105.ZIP failed: the disk is full; "
        "QLM0106.ZIP failed: 451 Transfer aborted: connection reset by the server; QLM0107.ZIP "
        "failed: 550 not on the server; and 2 more; Further connections gave up: 421 Too many "
        "connections from this address");
    save(window, folder + "/main-window-failed-long.png");
    window.setProgressDetail("");
    window.activateWindow();
    {
        // The command runs on its own thread; the window is shot from there
        // and once it has ended.
        QEventLoop ended;
        QObject::connect(&window, &tyq::ui::CMainDlg::commandEnded, &ended, &QEventLoop::quit);
        window.findChild<QPushButton*>(QStringLiteral("1004"))->click();
        ended.exec();
    }
    save(window, folder + "/main-window-finished.png");
    const auto runCommand = [&](const char* button) {
        QEventLoop ended;
        QObject::connect(&window, &tyq::ui::CMainDlg::commandEnded, &ended, &QEventLoop::quit);
        window.findChild<QPushButton*>(QString::fromLatin1(button))->click();
        ended.exec();
    };
    runCommand("1005");
    // What each stop kept.
    stopped = true;
    runCommand("1004");
    save(window, folder + "/main-window-download-stopped.png");
    runCommand("1005");
    save(window, folder + "/main-window-unzip-stopped.png");

    tyq::ui::CSetupDlg setup(profiles, prompter, settingsFolder.path(), &window);
    save(setup, folder + "/setup-window.png");

    tyq::ui::CAboutDlg about(&window);
    save(about, folder + "/about-box.png");

    tyq::ui::HelpViewer help(&window);
    help.showFile(TYQ_SOURCE_DIR "/resources/tyqlmftp.hlp");
    save(help, folder + "/help-viewer.png");
    return 0;
}
