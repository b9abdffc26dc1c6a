#pragma once

#include <QDialog>

namespace tyq::ui {

class CMainDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CMainDlg(QWidget* parent = nullptr);
};

}  // namespace tyq::ui
