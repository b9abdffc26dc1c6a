#pragma once

#include <string>

namespace tyq {

// Every message box of the program goes through this interface, so the window
// shows real boxes and tests script the answers.
enum class PromptButtons { Ok, YesNo };
enum class PromptIcon { None, Question, Error, Stop, Information, Warning };
enum class PromptOwner { MainWindow, None };
enum class PromptAnswer { Ok, Yes, No };

struct Prompt {
    std::string text;
    PromptButtons buttons = PromptButtons::Ok;
    PromptIcon icon = PromptIcon::None;
    PromptOwner owner = PromptOwner::MainWindow;
    // The button Enter presses in a Yes/No box; a question whose Yes loses
    // something makes it No. Escape is always No.
    PromptAnswer defaultAnswer = PromptAnswer::Yes;
    // The caption is always the program's; it is not part of a prompt.
};

class Prompter {
  public:
    virtual ~Prompter() = default;
    virtual PromptAnswer ask(const Prompt& prompt) = 0;
};

}  // namespace tyq
