#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <stop_token>
#include <string>
#include <vector>

#include "download/FtpSession.h"
#include "settings/Secrets.h"

namespace tyq::app {

// How a collection ended, as its exit status.
enum class CollectStatus {
    Done = 0,       // with or without new data
    Failed = 1,     // anything else
    TryLater = 75,  // no network, server busy, stopped, metered
    Refused = 77,   // log-in refused, zip password wrong, certificate not trusted
    NotSetUp = 78,  // no mailbox configured
};

// What a collection brought, for the desktop's notification.
struct CollectSummary {
    CollectStatus status = CollectStatus::Done;
    std::vector<std::string> newFiles;  // fetched this time
    std::string headline;               // what happened, in a few words
    std::string hint;                   // what to do about it, when it failed
    std::string folder;                 // the Location
};

struct CollectEnvironment {
    std::filesystem::path settingsFolder;
    std::filesystem::path stateFolder;
    std::filesystem::path libraryFolder;
    std::ostream* out = nullptr;
    download::FtpTimeouts timeouts;
    std::stop_token stop;
    std::function<std::time_t()> clock = [] { return std::time(nullptr); };
    // Whether the way out is metered; nothing when no one can tell.
    std::function<std::optional<bool>()> metered;
    // Tells the desktop; called only when there is something to tell.
    std::function<void(const CollectSummary&)> notify;
    // The passwords, while the user keeps them in the keyring.
    std::shared_ptr<settings::SecretStore> secrets;
};

// One collection without a window: fetches the mailbox's new "*.ZIP" files
// into the Location, extracts the fetched "QLM*.ZIP" with the zip password,
// deletes each archive extracted and records what came. Never asks: each
// question has a fixed answer. One line per step goes to `out`.
CollectStatus collect(const CollectEnvironment& environment);

// The transfer logs of collections, newest last, in the state folder; all
// but the last `keep` are removed.
void pruneLogs(const std::filesystem::path& logFolder, std::size_t keep);

}  // namespace tyq::app
