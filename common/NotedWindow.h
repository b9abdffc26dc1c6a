#pragma once

#include <string>
#include <utility>
#include <vector>

#include "common/CommandPort.h"

namespace tyq {

// A command's port as its later steps see it: every detail they give is
// followed by the command's notes, things that went wrong beside its outcome
// (settings not saved, no transfer log), so no step's detail hides them.
// Everything else goes straight through.
class NotedWindow : public CommandPort {
  public:
    explicit NotedWindow(CommandPort& port) : port_(port) {}

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
        port_.setProgressDetail(shown);
    }

    void setProgressText(const std::string& text) override { port_.setProgressText(text); }
    void focusProgressText() override { port_.focusProgressText(); }
    void focusPassword() override { port_.focusPassword(); }
    void setProgressBytes(const ByteProgress& progress) override {
        port_.setProgressBytes(progress);
    }
    PromptAnswer ask(const Prompt& prompt) override { return port_.ask(prompt); }
    void runOnWindowThread(const std::function<void()>& work) override {
        port_.runOnWindowThread(work);
    }

  private:
    CommandPort& port_;
    std::string detail_;
    std::vector<std::string> notes_;
};

}  // namespace tyq
