#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "common/MainWindowPort.h"
#include "download/TransferJob.h"
#include "unzip/ExtractArchives.h"

namespace tyq::commands {

// How one of the window's commands ended: what its work came to, when it got
// that far, and the words it ended with.
struct CommandOutcome {
    std::variant<std::monostate, download::TransferOutcome, unzip::ExtractionOutcome> result;
    std::string headline;  // the status line it ended with
    std::string detail;    // the explanation under it, notes included; empty when none
    // Files put in place, or archives extracted, and their bytes.
    int items = 0;
    std::int64_t bytes = 0;
};

// The window's port, passed through, keeping the last words the command
// gave it for its outcome.
class EndWords : public MainWindowPort {
  public:
    explicit EndWords(MainWindowPort& window) : window_(window) {}

    // The outcome of a command that told this port, with `result`.
    CommandOutcome outcome(
        std::variant<std::monostate, download::TransferOutcome, unzip::ExtractionOutcome> result)
        const;

    void setProgressText(const std::string& text) override {
        text_ = text;
        window_.setProgressText(text);
    }
    void setProgressDetail(const std::string& text) override {
        detail_ = text;
        window_.setProgressDetail(text);
    }
    void setProgressBytes(const ByteProgress& progress) override {
        window_.setProgressBytes(progress);
    }
    void focusProgressText() override { window_.focusProgressText(); }
    void focusPassword() override { window_.focusPassword(); }
    PromptAnswer ask(const Prompt& prompt) override { return window_.ask(prompt); }
    void runOnWindowThread(const std::function<void()>& work) override {
        window_.runOnWindowThread(work);
    }
    StepOneTexts takeStepOneFields() override { return window_.takeStepOneFields(); }
    std::string userId() const override { return window_.userId(); }
    bool aolChecked() const override { return window_.aolChecked(); }
    ProcessCounters& counters() override { return window_.counters(); }
    std::stop_token stopToken() const override { return window_.stopToken(); }

  private:
    MainWindowPort& window_;
    std::string text_;
    std::string detail_;
};

}  // namespace tyq::commands
