#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/MainWindowPort.h"

namespace tyq {

// The main window as a command's later steps see it: every detail they give
// is followed by the command's notes, things that went wrong beside its
// outcome (settings not saved, no transfer log), so no step's detail hides
// them. Everything else goes straight to the window.
class NotedWindow : public MainWindowPort {
  public:
    explicit NotedWindow(MainWindowPort& window) : window_(window) {}

    // Shows the note at once, under the detail shown now.
    void addNote(std::string note) {
        notes_.push_back(std::move(note));
        setProgressDetail(detail_);
    }

    void setProgressDetail(const std::string& text) override {
        detail_ = text;
        std::string shown = text;
        for (const auto& note : notes_) {
            shown += (shown.empty() ? "" : "\n") + note;
        }
        window_.setProgressDetail(shown);
    }

    StepOneTexts takeStepOneFields() override { return window_.takeStepOneFields(); }
    std::string userId() const override { return window_.userId(); }
    bool aolChecked() const override { return window_.aolChecked(); }
    void setProgressText(const std::string& text) override { window_.setProgressText(text); }
    void focusProgressText() override { window_.focusProgressText(); }
    void focusPassword() override { window_.focusPassword(); }
    ProcessCounters& counters() override { return window_.counters(); }
    void setProgressBytes(const ByteProgress& progress) override {
        window_.setProgressBytes(progress);
    }
    void runOnWindowThread(const std::function<void()>& work) override {
        window_.runOnWindowThread(work);
    }
    std::stop_token stopToken() const override { return window_.stopToken(); }

  private:
    MainWindowPort& window_;
    std::string detail_;
    std::vector<std::string> notes_;
};

}  // namespace tyq
