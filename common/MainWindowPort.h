#pragma once

#include <string>

namespace tyq {

// The four Step 1 values as the window holds them.
struct StepOneTexts {
    std::string user;
    std::string pass;
    std::string zipPass;
    std::string local;
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
};

}  // namespace tyq
