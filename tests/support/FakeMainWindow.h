#pragma once

#include <string>
#include <vector>

#include "common/MainWindowPort.h"

namespace tyq::test {

// The main window as the core commands see it: field texts to hand out, and
// every progress text recorded in order.
class FakeMainWindow : public MainWindowPort {
  public:
    StepOneTexts fields;  // what the four Step 1 fields hold
    bool aol = false;

    StepOneTexts members;  // what the window's members hold after a take
    std::vector<std::string> progress;
    std::string detail;
    int takes = 0;
    int progressFocused = 0;

    StepOneTexts takeStepOneFields() override {
        ++takes;
        members = fields;
        return members;
    }
    std::string userId() const override { return members.user; }
    bool aolChecked() const override { return aol; }
    void setProgressText(const std::string& text) override { progress.push_back(text); }
    void setProgressDetail(const std::string& text) override { detail = text; }
    void focusProgressText() override { ++progressFocused; }

    std::string progressText() const { return progress.empty() ? std::string() : progress.back(); }
};

}  // namespace tyq::test
