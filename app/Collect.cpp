#include "app/Collect.h"

#include <signal.h>
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
// failed; a click opens the Location.
desktop::Notice noticeOf(const CollectSummary& summary) {
    desktop::Notice notice;
    notice.folder = summary.folder;
    if (summary.status == CollectStatus::Done ||
        (!summary.newFiles.empty() && summary.status != CollectStatus::Refused)) {
        const auto count = summary.newFiles.size();
        notice.summary = std::to_string(count) + (count == 1 ? " new file" : " new files") +
                         " from the ORV mailbox";
        for (std::size_t i = 0; i < count && i < 5; ++i) {
            notice.body += (i == 0 ? "" : "\n") + summary.newFiles[i];
        }
        if (count > 5) {
            notice.body += "\nand " + std::to_string(count - 5) + " more";
        }
        // New files do not make up for what went wrong with them.
        if (summary.status != CollectStatus::Done) {
            notice.body += "\n" + summary.headline;
            notice.failure = true;
        }
    } else {
        notice.summary = "The ORV mailbox could not be collected";
        notice.body = summary.headline + (summary.hint.empty() ? "" : "\n" + summary.hint);
        notice.failure = true;
    }
    return notice;
}

}  // namespace

int runCollect() {
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
    env.stop = signals.token();
    env.metered = [] { return dialup::NetworkManager().metered(); };
    env.secrets = std::make_shared<desktop::Keyring>(desktop::Prompting::Never);
    const auto result = commands::collect(env);
    // Told, and done: a click on the notification later starts the program
    // by its bus name to open the folder.
    if (result.worthTelling()) {
        desktop::notify(noticeOf(result.summary));
    }
    return static_cast<int>(result.status);
}

}  // namespace tyq::app
