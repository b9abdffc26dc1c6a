#pragma once

#include <QObject>
#include <QPointer>
#include <chrono>
#include <exception>
#include <functional>
#include <mutex>
#include <stop_token>

#include "common/MainWindowPort.h"
#include "common/Prompter.h"

namespace tyq::ui {

// The window and its questions as a command on a worker thread sees them:
// every call is carried out on the window's thread while the worker waits,
// so texts show in order and questions stay modal to the window. Byte counts
// are passed on at most ten times a second, and the last count of each item
// always, without making the worker wait.
class WorkerPort : public MainWindowPort, public Prompter {
  public:
    WorkerPort(QObject& context, MainWindowPort& window, Prompter& prompter, std::stop_token stop);

    StepOneTexts takeStepOneFields() override;
    std::string userId() const override;
    bool aolChecked() const override;
    void setProgressText(const std::string& text) override;
    void setProgressDetail(const std::string& text) override;
    void focusProgressText() override;
    void focusPassword() override;
    // Not carried over: the window leaves them alone while a command runs.
    ProcessCounters& counters() override { return window_.counters(); }
    void setProgressBytes(const ByteProgress& progress) override;
    void runOnWindowThread(const std::function<void()>& work) override;
    std::stop_token stopToken() const override { return stop_; }

    PromptAnswer ask(const Prompt& prompt) override;

  private:
    // Runs work on the window's thread and waits; an exception it throws is
    // thrown again here, on the worker.
    void onWindowThread(const std::function<void()>& work) const;

    QPointer<QObject> context_;
    MainWindowPort& window_;
    Prompter& prompter_;
    std::stop_token stop_;

    std::mutex bytesMutex_;
    std::chrono::steady_clock::time_point lastBytes_{};
    int lastItem_ = -1;  // the item of the count passed on last
};

}  // namespace tyq::ui
