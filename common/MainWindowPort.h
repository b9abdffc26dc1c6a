#pragma once

#include <stop_token>
#include <string>

#include "common/CommandPort.h"
#include "common/ProcessCounters.h"

namespace tyq {

// The four Step 1 values as the window holds them.
struct StepOneTexts {
    std::string user;
    std::string pass;
    std::string zipPass;
    std::string local;
};

// What the window's Download and Unzip commands read of the window, beside
// what they tell it. The window implements it; command tests fake it.
class MainWindowPort : public CommandPort {
  public:
    // Copies the current texts of the four Step 1 fields into the window's
    // members and returns them.
    virtual StepOneTexts takeStepOneFields() = 0;
    // The user ID member as last taken from its field.
    virtual std::string userId() const = 0;
    virtual bool aolChecked() const = 0;
    // The values the program keeps while it runs; the window owns them.
    virtual ProcessCounters& counters() = 0;
    // Set once the user has asked to stop the command.
    virtual std::stop_token stopToken() const { return {}; }
};

}  // namespace tyq
