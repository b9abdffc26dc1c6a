#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "common/Prompter.h"

class QMessageBox;

namespace tyq::ui {

// The program's message boxes: always captioned with the program's name,
// owned by the main window while there is one.
class QtPrompter : public Prompter {
  public:
    PromptAnswer ask(const Prompt& prompt) override;

    // The box ask() shows, ready to run.
    std::unique_ptr<QMessageBox> makeBox(const Prompt& prompt) const;

    // The window that owns boxes asked for with PromptOwner::MainWindow;
    // nullptr while no main window exists.
    void setMainWindow(QWidget* window) { mainWindow_ = window; }

  private:
    QPointer<QWidget> mainWindow_;
};

}  // namespace tyq::ui
