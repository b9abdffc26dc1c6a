#pragma once

#include <QDialog>
#include <string>

class QTextBrowser;

namespace tyq::ui {

// The program's help window: shows the HTML help file, or says plainly that
// it cannot be read. It stays open beside the main window until closed.
class HelpViewer : public QDialog {
    Q_OBJECT
  public:
    explicit HelpViewer(QWidget* parent = nullptr);

    // Loads the file (a path as the Help command formed it) and shows it at
    // its beginning.
    void showFile(const std::string& helpFile);
    QTextBrowser& browser() const { return *browser_; }

  private:
    QTextBrowser* browser_;
};

}  // namespace tyq::ui
