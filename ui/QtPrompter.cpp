#include "ui/QtPrompter.h"

#include <QMessageBox>
#include <QPushButton>

#include "common/Texts.h"

namespace tyq::ui {

namespace {

QMessageBox::Icon boxIcon(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::Question:
            return QMessageBox::Question;
        case PromptIcon::Error:
        case PromptIcon::Stop:
            return QMessageBox::Critical;
        case PromptIcon::Information:
            return QMessageBox::Information;
        case PromptIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

PromptAnswer QtPrompter::ask(const Prompt& prompt) {
    QWidget* owner = prompt.owner == PromptOwner::MainWindow ? mainWindow_.data() : nullptr;
    QMessageBox box(boxIcon(prompt.icon), QString::fromUtf8(kProgramCaption),
                    QString::fromUtf8(prompt.text), QMessageBox::NoButton, owner);
    // Texts are shown as written: a "<" in a folder name is not markup.
    box.setTextFormat(Qt::PlainText);
    if (prompt.buttons == PromptButtons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
        box.setEscapeButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes ? PromptAnswer::Yes : PromptAnswer::No;
    }
    box.setStandardButtons(QMessageBox::Ok);
    box.exec();
    return PromptAnswer::Ok;
}

}  // namespace tyq::ui
