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

#include "commands/CollectHistory.h"
#include "commands/ConsoleLines.h"
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
    std::size_t extracted = 0;          // archives extracted, whatever fetched them
    // What arrived, as the notification names it: each archive extracted as
    // its files (or how many came from it), each other file fetched by name.
    std::vector<std::string> arrived;
    std::string headline;  // what happened, in a few words
    std::string hint;      // what to do about it, when it failed
    std::string folder;    // the Location
    // Another command held the folder: nothing was tried.
    bool skipped = false;
};

struct CollectEnvironment {
    std::filesystem::path settingsFolder;
    std::filesystem::path stateFolder;
    std::filesystem::path libraryFolder;
    // Each step, and the end when it went well.
    std::ostream* out = nullptr;
    // Errors and warnings; without one, on `out`.
    std::ostream* err = nullptr;
    ConsoleStyle console;
    // Files fetched whether the record has them or not.
    std::vector<std::string> again;
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
    // Whether the desktop hears of it: what arrived always, a failure once
    // per reason and once more on its third day, a stop only with data.
    Telling telling = Telling::Not;
};

// One collection without a window: fetches the mailbox's new "*.ZIP" files
// into the Location, extracts every "QLM*.ZIP" waiting there with the zip
// password (also when the mailbox could not be reached), deletes each
// archive extracted and records each file as its work is done. Never asks:
// each question has a fixed answer. One line per step goes to `out`, errors
// and warnings to `err`. A record that cannot be saved stops the fetching.
// How it ended is kept in the state folder's history, which decides what
// the desktop is told.
CollectResult collect(const CollectEnvironment& environment);

// The transfer logs of collections, newest last, in the state folder; all
// but the last `keep` are removed.
void pruneLogs(const std::filesystem::path& logFolder, std::size_t keep);

}  // namespace tyq::commands
