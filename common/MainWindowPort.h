#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

#include "common/ProcessCounters.h"

namespace tyq {

// The four Step 1 values as the window holds them.
struct StepOneTexts {
    std::string user;
    std::string pass;
    std::string zipPass;
    std::string local;
};

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

// What the download and unzip commands need of the main window. The window
// implements it; core tests fake it.
class MainWindowPort {
  public:
    virtual ~MainWindowPort() = default;

    // Copies the current texts of the four Step 1 fields into the window's
    // members and returns them.
    virtual StepOneTexts takeStepOneFields() = 0;
    // The user ID member as last taken from its field.
    virtual std::string userId() const = 0;
    virtual bool aolChecked() const = 0;

    // The program's one status line: replaces the whole text and shows it at once.
    virtual void setProgressText(const std::string& text) = 0;
    // A longer explanation of the status line (its tool tip); empty clears it.
    virtual void setProgressDetail(const std::string& text) = 0;
    virtual void focusProgressText() = 0;
    // The FTP password field takes the focus once the command has ended: the
    // server refused the log-in.
    virtual void focusPassword() {}
    // The values the program keeps while it runs; the window owns them.
    virtual ProcessCounters& counters() = 0;

    // Bytes moved so far; the window shows at most a few updates a second.
    virtual void setProgressBytes(const ByteProgress& /*progress*/) {}
    // Runs work where the window's own dialogs may open (the dial-up
    // phonebook) and returns when it is done.
    virtual void runOnWindowThread(const std::function<void()>& work) { work(); }
    // Set once the user has asked to stop the command.
    virtual std::stop_token stopToken() const { return {}; }
};

}  // namespace tyq
