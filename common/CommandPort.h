#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/Prompter.h"

namespace tyq {

// How far a long command has come, in bytes. A total of -1 is not known.
struct ByteProgress {
    std::string item;    // the file or archive being worked on
    int itemNumber = 0;  // 1 for the first
    int itemCount = 0;   // how many the command works through
    std::int64_t itemDone = 0;
    std::int64_t itemTotal = -1;
    std::int64_t allDone = 0;    // every item's bytes so far
    std::int64_t allTotal = -1;  // every item's bytes, when all their sizes are known
    // Items finished so far, in whatever order they finished; -1: those
    // before itemNumber, and the current one once its bytes are all in.
    int itemsDone = -1;
};

// What a command tells as it works, and the questions it asks: the window
// shows it, the collection prints it, tests record it. The stop is handed to
// each command as an argument, not taken from here.
class CommandPort {
  public:
    virtual ~CommandPort() = default;

    // The command's one status line: replaces the whole text and shows it at once.
    virtual void setProgressText(const std::string& text) = 0;
    // A longer explanation of the status line; empty clears it.
    virtual void setProgressDetail(const std::string& text) = 0;
    // Bytes moved so far; shown at most a few times a second.
    virtual void setProgressBytes(const ByteProgress& /*progress*/) {}
    // Where the user's attention goes once the command has ended: the status
    // line, or the FTP password when the server refused the log-in.
    virtual void focusProgressText() {}
    virtual void focusPassword() {}
    // A question; with no one there to answer, the answer is Escape's.
    virtual PromptAnswer ask(const Prompt& prompt) {
        return prompt.buttons == PromptButtons::YesNo ? PromptAnswer::No : PromptAnswer::Ok;
    }
    // Runs work where the front's own dialogs may open (the dial-up
    // phonebook) and returns when it is done.
    virtual void runOnWindowThread(const std::function<void()>& work) { work(); }
};

}  // namespace tyq
