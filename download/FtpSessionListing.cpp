#include "download/FtpSession.h"

#include <algorithm>
#include <unordered_set>
#include <utility>

#include "common/Log.h"
#include "common/ShownText.h"
#include "download/ftp/Listing.h"
#include "download/ftp/Transport.h"

// The session's listing of the mailbox: which command lists it, and the
// sizes and times of what it names.
namespace tyq::download {
namespace {

// A name the server lists twice is one file: fetched once, counted once.
// The first mention's size and time stand.
void dropRepeats(ZipListing& listing) {
    std::unordered_set<std::string> seen;
    std::size_t kept = 0;
    for (std::size_t item = 0; item < listing.names.size(); ++item) {
        if (!seen.insert(listing.names[item]).second) {
            log::record(log::Category::Ftp, [&] {
                return shownText(listing.names[item], 200) + ": listed again, fetched once";
            });
            continue;
        }
        if (kept != item) {
            listing.names[kept] = std::move(listing.names[item]);
            if (item < listing.sizes.size()) {
                listing.sizes[kept] = listing.sizes[item];
            }
            if (item < listing.modified.size()) {
                listing.modified[kept] = std::move(listing.modified[item]);
            }
        }
        ++kept;
    }
    listing.names.resize(kept);
    listing.sizes.resize(std::min(listing.sizes.size(), kept));
    listing.modified.resize(std::min(listing.modified.size(), kept));
}

}  // namespace

using ftp::Ending;
using ftp::Refusal;

void FtpSession::describe(ZipListing& listing) {
    const auto count = listing.names.size();
    if (listing.sizes.size() != count) {
        listing.sizes.assign(count, -1);
    }
    if (listing.modified.size() != count) {
        listing.modified.assign(count, {});
    }
    const auto missing = [&](std::size_t item) {
        return listing.sizes[item] < 0 || listing.modified[item].empty();
    };
    bool anyMissing = false;
    for (std::size_t item = 0; item < count; ++item) {
        anyMissing = anyMissing || missing(item);
    }
    if (!anyMissing || !transport_->begin()) {
        return;
    }
    // One round trip for the whole folder where the server lists that way.
    const auto shown = transport_->list({false, true});
    if (shown.ok()) {
        std::unordered_map<std::string, ftp::ShownFile> byName;
        for (auto& file : ftp::filesShownIn(shown.text)) {
            byName.emplace(file.name, std::move(file));
        }
        for (std::size_t item = 0; item < count; ++item) {
            const auto found = byName.find(listing.names[item]);
            if (missing(item) && found != byName.end()) {
                listing.sizes[item] = found->second.size;
                listing.modified[item] = found->second.time;
            }
        }
    }
    for (std::size_t item = 0; item < count && transport_->begin(); ++item) {
        if (missing(item) && isPlainFileName(listing.names[item])) {
            auto told = transport_->size({listing.names[item], true});
            listing.sizes[item] = told.size;
            listing.modified[item] = std::move(told.modified);
        }
    }
}

ZipListing FtpSession::listZipFiles(bool described) {
    if (!transport_->begin()) {
        return {false, {}, {}, "stopped", {}};
    }
    bool mlsd = !noMlsd_;
    auto outcome = transport_->list({mlsd, !mlsd && described});
    // A server that does not know MLSD says so in a 5xx reply; anything
    // else (a dropped connection, a stop) is the listing's own failure.
    if (mlsd && outcome.ending == Ending::Failed && !outcome.tooLong &&
        outcome.replyCode() >= 500) {
        noMlsd_ = true;
        mlsd = false;
        log::record(log::Category::Ftp, [&] {
            return "MLSD refused (" + std::to_string(outcome.replyCode()) +
                   "): " + (described ? "LIST" : "NLST") + " from now on, listing again";
        });
        outcome = transport_->list({false, described});
    }
    ZipListing listing;
    if (!mlsd && described) {
        // One LIST tells names, sizes and times where it shows every entry
        // as "ls -l" does; elsewhere NLST names the files as before.
        auto shown = outcome.ok() ? ftp::zipFilesShownIn(outcome.text) : std::nullopt;
        if (shown) {
            listing.listed = true;
            listing.names = std::move(shown->names);
            listing.sizes = std::move(shown->sizes);
            listing.modified = std::move(shown->modified);
            dropRepeats(listing);
            return listing;
        }
        const bool refused =
            outcome.ending == Ending::Failed && !outcome.tooLong && outcome.replyCode() >= 500;
        if (!outcome.ok() && !refused) {
            listing.failure = listingFailure(outcome);
            return listing;
        }
        // What was remembered of the server may be out of date.
        const bool askMlsd = std::exchange(mlsdAssumed_, false);
        log::record(log::Category::Ftp, [&] {
            return (outcome.ok() ? std::string("LIST not in the \"ls -l\" form: ")
                                 : "LIST refused (" + std::to_string(outcome.replyCode()) + "): ") +
                   (askMlsd ? "MLSD" : "NLST");
        });
        if (askMlsd) {
            noMlsd_ = false;
            return listZipFiles(described);
        }
        outcome = transport_->list({false});
    }
    if (!outcome.ok()) {
        listing.failure = listingFailure(outcome);
        return listing;
    }
    listing.listed = true;
    auto found = ftp::zipNamesIn(outcome.text, mlsd);
    listing.names = std::move(found.names);
    listing.sizes = std::move(found.sizes);
    listing.modified = std::move(found.modified);
    dropRepeats(listing);
    return listing;
}

std::string FtpSession::listingFailure(const ftp::ListOutcome& outcome) const {
    return outcome.tooLong
               ? "it is longer than " + std::to_string(ftp::kMaxListingBytes >> 20) + " MB"
               : failureOf(outcome);
}

}  // namespace tyq::download
