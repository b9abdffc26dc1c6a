#include "app/SignalWatcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <array>
#include <cerrno>
#include <csignal>

namespace tyq::app {
namespace {

constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};

// The handler may only write to a pipe; everything else happens when the
// window's thread reads it.
int writeEnd = -1;
int readEnd = -1;
std::array<struct sigaction, kSignals.size()> previous{};

extern "C" void onSignalArrived(int signal) {
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signal);
    if (writeEnd >= 0) {
        [[maybe_unused]] const auto written = ::write(writeEnd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SignalWatcher::SignalWatcher(std::function<void(int)> onSignal) : onSignal_(std::move(onSignal)) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // signals keep their default effect
    }
    readEnd = ends[0];
    writeEnd = ends[1];
    notifier_ = std::make_unique<QSocketNotifier>(readEnd, QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = onSignalArrived;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &action, &previous[i]);
    }
}

SignalWatcher::~SignalWatcher() {
    if (readEnd < 0) {
        return;
    }
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &previous[i], nullptr);
    }
    notifier_.reset();
    ::close(writeEnd);
    ::close(readEnd);
    writeEnd = readEnd = -1;
}

void SignalWatcher::readPipe() {
    unsigned char byte = 0;
    while (::read(readEnd, &byte, 1) == 1) {
        if (onSignal_) {
            onSignal_(byte);
        }
    }
}

}  // namespace tyq::app
