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
        case PromptIcon::Warning:
            return QMessageBox::Warning;
        case PromptIcon::None:
            break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

std::unique_ptr<QMessageBox> QtPrompter::makeBox(const Prompt& prompt) const {
    QWidget* owner = prompt.owner == PromptOwner::MainWindow ? mainWindow_.data() : nullptr;
    auto box =
        std::make_unique<QMessageBox>(boxIcon(prompt.icon), QString::fromUtf8(kProgramCaption),
                                      QString::fromUtf8(prompt.text), QMessageBox::NoButton, owner);
    // Texts are shown as written: a "<" in a folder name is not markup.
    box->setTextFormat(Qt::PlainText);
    if (prompt.buttons == PromptButtons::YesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(prompt.defaultAnswer == PromptAnswer::No ? QMessageBox::No
                                                                       : QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
        box->setDefaultButton(QMessageBox::Ok);
    }
    return box;
}

PromptAnswer QtPrompter::ask(const Prompt& prompt) {
    const auto box = makeBox(prompt);
    const int button = box->exec();
    if (prompt.buttons == PromptButtons::YesNo) {
        return button == QMessageBox::Yes ? PromptAnswer::Yes : PromptAnswer::No;
    }
    return PromptAnswer::Ok;
}

}  // namespace tyq::ui
