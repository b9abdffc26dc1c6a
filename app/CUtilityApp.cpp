#include "app/CUtilityApp.h"

#include <QApplication>

#include "ui/CMainDlg.h"

namespace tyq::app {

int CUtilityApp::run(int argc, char** argv) {
    QApplication application(argc, argv);
    ui::CMainDlg window;
    window.exec();
    return 0;
}

}  // namespace tyq::app
