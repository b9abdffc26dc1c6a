// The program's start-up up to the main window shown, without the user.
// Runs the application's own start-up with a modal run that reports, once the
// window's first events are processed, the CLOCK_MONOTONIC time in
// nanoseconds, then after a second at rest the resident memory, and ends.
//
//   bench_startup        prints "shown <ns>" and "rss <kB> hwm <kB>"

#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/CUtilityApp.h"
#include "common/Texts.h"
#include "desktop/Notification.h"
#include "ui/AppIcon.h"
#include "ui/CMainDlg.h"
#include "ui/QtPrompter.h"

namespace {

long statusField(const std::string& key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QString::fromUtf8(tyq::kProgramName));
    QApplication::setWindowIcon(tyq::ui::applicationIcon());
    QApplication::setDesktopFileName(QString::fromUtf8(tyq::desktop::kApplicationId));

    tyq::ui::QtPrompter prompter;
    tyq::app::CUtilityApp::initInstance(
        tyq::app::CUtilityApp::defaultFolders(), prompter, [&prompter](tyq::ui::CMainDlg& window) {
            prompter.setMainWindow(&window);
            QTimer::singleShot(0, &window, [] {
                timespec now{};
                clock_gettime(CLOCK_MONOTONIC, &now);
                std::printf("shown %lld\n",
                            static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
                std::fflush(stdout);
                QTimer::singleShot(1000, [] {
                    std::printf("rss %ld hwm %ld\n", statusField("VmRSS"), statusField("VmHWM"));
                    std::fflush(stdout);
                    ::_exit(0);
                });
            });
            window.exec();
        });
    return 0;
}
