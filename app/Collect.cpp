#include "app/Collect.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>
#include <stop_token>
#include <thread>

#include "commands/Collection.h"
#include "common/Paths.h"
#include "desktop/Keyring.h"
#include "desktop/Notification.h"
#include "download/CollectState.h"
#include "download/dialup/NetworkManager.h"
#include "settings/ProfileStore.h"

namespace tyq::app {
using commands::CollectStatus;
using commands::CollectSummary;
namespace {

// SIGINT, SIGTERM and SIGHUP stop the collection instead of ending the
// process mid-file. Blocked in every thread (the helpers inherit the mask)
// and taken by one thread of its own.
class StopOnSignals {
  public:
    StopOnSignals() {
        sigemptyset(&set_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&set_, signal);
        }
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        watcher_ = std::jthread([this](std::stop_token own) {
            const timespec tick{0, 200'000'000};
            while (!own.stop_requested()) {
                if (sigtimedwait(&set_, nullptr, &tick) > 0) {
                    stop_.request_stop();
                }
            }
        });
    }
    ~StopOnSignals() {
        watcher_.request_stop();
        // Wakes the watcher now rather than at its next tick, which every
        // collection would otherwise wait for on its way out.
        pthread_kill(watcher_.native_handle(), SIGHUP);
        watcher_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;
    std::stop_token token() const { return stop_.get_token(); }

  private:
    sigset_t set_{};
    sigset_t previous_{};
    std::stop_source stop_;
    std::jthread watcher_;
};

// What the desktop is told of a collection: what it brought or why it
// failed; a click opens the Location. A failure that passes by itself is
// told plainly, one that needs the user or has lasted days critically.
desktop::Notice noticeOf(const CollectSummary& summary, commands::Telling telling) {
    using desktop::Urgency;
    desktop::Notice notice;
    notice.folder = summary.folder;
    const bool failed = summary.status != CollectStatus::Done;
    notice.failure = failed;
    notice.urgency = telling == commands::Telling::Urgent ||
                             (failed && summary.status != CollectStatus::TryLater)
                         ? Urgency::Critical
                         : Urgency::Normal;
    if (!summary.arrived.empty() && summary.status != CollectStatus::Refused) {
        const auto count = summary.newFiles.size();
        notice.summary = count != 0
                             ? std::to_string(count) + (count == 1 ? " new file" : " new files") +
                                   " from the ORV mailbox"
                             : std::to_string(summary.extracted) +
                                   (summary.extracted == 1 ? " archive" : " archives") +
                                   " from the ORV mailbox extracted";
        const auto& arrived = summary.arrived;
        for (std::size_t i = 0; i < arrived.size() && i < 5; ++i) {
            notice.body += (i == 0 ? "" : "\n") + arrived[i];
        }
        if (arrived.size() > 5) {
            notice.body += "\nand " + std::to_string(arrived.size() - 5) + " more";
        }
        // What arrived does not make up for what went wrong.
        if (failed) {
            notice.body += "\n" + summary.headline;
        }
    } else {
        notice.summary = "The ORV mailbox could not be collected";
        notice.body = summary.headline + (summary.hint.empty() ? "" : "\n" + summary.hint);
    }
    if (telling == commands::Telling::Urgent) {
        notice.body += "\nThe collection has failed on 3 days in a row";
    }
    return notice;
}

// The terminal's width when standard output is one; 0 otherwise.
int terminalColumns() {
    if (::isatty(STDOUT_FILENO) == 0) {
        return 0;
    }
    winsize size{};
    return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

}  // namespace

int runCollect(const CollectRequest& request, std::function<std::time_t()> clock) {
    // Standard output read by a pipe that closes early ("| head") must not
    // end the collection mid-file: its lines then go nowhere.
    ::signal(SIGPIPE, SIG_IGN);
    const StopOnSignals signals;
    commands::CollectEnvironment env;
    env.settingsFolder = settings::defaultSettingsFolder();
    env.stateFolder = download::CollectState::defaultFolder();
    env.libraryFolder = executableFolder();
    env.out = &std::cout;
    env.err = &std::cerr;
    env.console = {request.quiet, terminalColumns()};
    env.again = request.again;
    if (clock) {
        env.clock = std::move(clock);
    }
    env.stop = signals.token();
    env.metered = [] { return dialup::NetworkManager().metered(); };
    env.secrets = std::make_shared<desktop::Keyring>(desktop::Prompting::Never);
    const auto result = commands::collect(env);
    // Told, and done: a click on the notification later starts the program
    // by its bus name to open the folder.
    if (result.telling != commands::Telling::Not) {
        desktop::notify(noticeOf(result.summary, result.telling));
    }
    return static_cast<int>(result.status);
}

}  // namespace tyq::app
