#pragma once

#include <QDialog>

namespace tyq::ui {

// The About box: the icon, the version and one line about the program.
class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr char kVersionText[] = "Korvatt Version 1.1";
    static constexpr char kAboutLine[] = "Collects and unpacks your ORV Mail data files.";

    explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace tyq::ui
