#pragma once

#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/Prompter.h"

namespace tyq::test {

// Answers each prompt with the next scripted answer and records every prompt.
// A prompt beyond the script fails the test by throwing.
class ScriptedPrompter : public Prompter {
  public:
    std::deque<PromptAnswer> answers;
    std::vector<Prompt> asked;

    explicit ScriptedPrompter(std::deque<PromptAnswer> script = {}) : answers(std::move(script)) {}

    PromptAnswer ask(const Prompt& prompt) override {
        asked.push_back(prompt);
        if (prompt.buttons == PromptButtons::Ok) {
            return PromptAnswer::Ok;
        }
        if (answers.empty()) {
            throw std::logic_error("unexpected question: " + prompt.text);
        }
        const auto answer = answers.front();
        answers.pop_front();
        return answer;
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& prompt : asked) {
            out.push_back(prompt.text);
        }
        return out;
    }
};

}  // namespace tyq::test
