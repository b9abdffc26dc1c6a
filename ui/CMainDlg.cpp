#include "ui/CMainDlg.h"

#include "common/Texts.h"

namespace tyq::ui {

CMainDlg::CMainDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QString::fromUtf8(kProgramCaption));
}

}  // namespace tyq::ui
