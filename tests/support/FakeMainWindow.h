#pragma once

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "common/MainWindowPort.h"

namespace tyq::test {

// The main window as the core commands see it: field texts to hand out, and
// every progress text and byte count recorded in order. A test stops the
// command through `stop`, before it runs or from onBytes or onText while it
// runs.
class FakeMainWindow : public MainWindowPort {
  public:
    StepOneTexts fields;  // what the four Step 1 fields hold
    bool aol = false;

    StepOneTexts members;  // what the window's members hold after a take
    std::vector<std::string> progress;
    std::string detail;
    std::vector<std::string> details;  // every detail shown, in order
    int takes = 0;
    int progressFocused = 0;
    std::vector<ByteProgress> bytes;
    std::function<void(const ByteProgress&)> onBytes;
    std::function<void(const std::string&)> onText;
    std::stop_source stop;

    StepOneTexts takeStepOneFields() override {
        ++takes;
        members = fields;
        return members;
    }
    std::string userId() const override { return members.user; }
    bool aolChecked() const override { return aol; }
    void setProgressText(const std::string& text) override {
        progress.push_back(text);
        if (onText) {
            onText(text);
        }
    }
    void setProgressDetail(const std::string& text) override {
        detail = text;
        details.push_back(text);
    }
    void focusProgressText() override { ++progressFocused; }
    int passwordFocused = 0;
    void focusPassword() override { ++passwordFocused; }
    ProcessCounters counts;
    ProcessCounters& counters() override { return counts; }
    void setProgressBytes(const ByteProgress& progress) override {
        bytes.push_back(progress);
        if (onBytes) {
            onBytes(progress);
        }
    }
    std::stop_token stopToken() const override { return stop.get_token(); }

    std::string progressText() const { return progress.empty() ? std::string() : progress.back(); }
};

}  // namespace tyq::test
