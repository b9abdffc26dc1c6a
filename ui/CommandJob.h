#pragma once

#include <QObject>
#include <QPointer>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "commands/CommandOutcome.h"
#include "common/MainWindowPort.h"
#include "common/Prompter.h"

namespace tyq::ui {

// A Step 2 or Step 3 command on a thread of its own, as the window sees it.
// The command's texts, details, byte counts and focus requests reach the
// window through queued signals, in the order the command gave them, without
// making the command wait. Its questions and the work it hands to the window
// (the dial-up phonebook) run on the window's thread while the command waits;
// once a stop is asked for, a question not yet answered is answered No and
// work not yet begun is left undone. Boxes that only tell something are still
// shown after a stop, unless the job is left. Byte counts are passed on at most ten
// times a second, and the last count of each item always.
class CommandJob : public QObject, public MainWindowPort, public Prompter {
    Q_OBJECT
  public:
    using Command = std::function<commands::CommandOutcome(MainWindowPort&, Prompter&)>;

    // What the command reads of the window: taken when it starts, as the
    // window disables those controls while it runs.
    struct WindowValues {
        StepOneTexts fields;
        std::string userId;
        bool aol = false;
    };

    // Questions are put to prompter and work is run in window's thread.
    CommandJob(Command command, WindowValues values, ProcessCounters& counters, Prompter& prompter,
               QObject& window);
    // Stops the command and waits for it.
    ~CommandJob() override;
    CommandJob(const CommandJob&) = delete;
    CommandJob& operator=(const CommandJob&) = delete;

    // Starts the thread; throws std::system_error when it cannot.
    void start();
    // Asks the command to stop; it ends at its next check.
    void stop() { stop_.request_stop(); }
    // Stops it and shows none of its boxes any more: the window is going.
    void leave() {
        leave_.request_stop();
        stop_.request_stop();
    }
    bool stopRequested() const noexcept { return stop_.stop_requested(); }
    // After finished(): waits for the thread and gives what the command
    // threw, if anything.
    std::exception_ptr finish();

    // MainWindowPort, called on the command's thread.
    StepOneTexts takeStepOneFields() override;
    std::string userId() const override;
    bool aolChecked() const override { return values_.aol; }
    void setProgressText(const std::string& text) override { emit progressText(text); }
    void setProgressDetail(const std::string& text) override { emit progressDetail(text); }
    void focusProgressText() override { emit focusProgressTextAsked(); }
    void focusPassword() override { emit focusPasswordAsked(); }
    // Not carried over: the window leaves them alone while a command runs.
    ProcessCounters& counters() override { return counters_; }
    void setProgressBytes(const ByteProgress& progress) override;
    void runOnWindowThread(const std::function<void()>& work) override;
    std::stop_token stopToken() const override { return stop_.get_token(); }

    // Prompter, called on the command's thread.
    PromptAnswer ask(const Prompt& prompt) override;

  signals:
    void progressText(const std::string& text);
    void progressDetail(const std::string& text);
    void progressBytes(const tyq::ByteProgress& progress);
    void focusProgressTextAsked();
    void focusPasswordAsked();
    // The command took the Step 1 fields: the window keeps them as taken.
    void fieldsTaken();
    // The command has ended, with its outcome (an empty one when it threw);
    // the last signal of the job.
    void finished(const tyq::commands::CommandOutcome& outcome);

  private:
    void run();

    Command command_;
    WindowValues values_;
    ProcessCounters& counters_;
    Prompter& prompter_;
    QPointer<QObject> window_;
    std::stop_source stop_;
    std::stop_source leave_;
    std::exception_ptr error_;
    std::jthread thread_;

    std::atomic<bool> fieldsTaken_{false};

    std::mutex bytesMutex_;
    std::chrono::steady_clock::time_point lastBytes_{};
    int lastItem_ = -1;  // the item of the count passed on last
};

}  // namespace tyq::ui
