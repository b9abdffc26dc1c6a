#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace tyq::app {

// Turns SIGINT, SIGTERM and SIGHUP into a call on the window's thread, so the
// program can stop a command and tidy up instead of dying mid-file. The
// previous handlers are put back when the watcher ends.
class SignalWatcher : public QObject {
    Q_OBJECT
  public:
    explicit SignalWatcher(std::function<void(int signal)> onSignal);
    ~SignalWatcher() override;
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

  private:
    void readPipe();

    std::function<void(int)> onSignal_;
    std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace tyq::app
