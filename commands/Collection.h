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

namespace tyq::commands {

// How a collection ended, as its exit status.
enum class CollectStatus {
    Done = 0,    // with or without new data
    Failed = 1,  // anything else, a record that cannot be saved among them

    TryLater = 75,  // no network, server busy, stopped, metered, a full disk
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
    // Why the collection could not keep its record or its log.
    std::ostream* err = nullptr;
    download::FtpTimeouts timeouts;
    std::stop_token stop;
    std::function<std::time_t()> clock = [] { return std::time(nullptr); };
    // Whether the way out is metered; nothing when no one can tell.
    std::function<std::optional<bool>()> metered;
    // The passwords, while the user keeps them in the keyring.
    std::shared_ptr<settings::SecretStore> secrets;
};

// How a collection ended, for the front to tell.
struct CollectResult {
    CollectStatus status = CollectStatus::Done;
    CollectSummary summary;
    // Worth the desktop's notice: something came, or it failed for a reason
    // that will not pass by itself.
    bool worthTelling() const {
        return !summary.newFiles.empty() ||
               (status != CollectStatus::Done && status != CollectStatus::TryLater);
    }
};

// One collection without a window: fetches the mailbox's new "*.ZIP" files
// into the Location, extracts every "QLM*.ZIP" waiting there with the zip
// password, deletes each archive extracted and records each file as its work
// is done. Never asks: each question has a fixed answer. One line per step
// goes to `out`. A record that cannot be saved stops the fetching.
CollectResult collect(const CollectEnvironment& environment);

// The transfer logs of collections, newest last, in the state folder; all
// but the last `keep` are removed.
void pruneLogs(const std::filesystem::path& logFolder, std::size_t keep);

}  // namespace tyq::commands
