#include "download/TransferReport.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <utility>
#include <vector>

#include "common/ShownText.h"

namespace tyq::download {
namespace {

// A listed name made fit to show: no control bytes, not too long.
std::string shownName(const std::string& name) {
    return shownText(name, 64);
}

// The length of a control character at `at`: a byte below 0x20, DEL, or a
// C1 control in UTF-8 (C2 80 to C2 9F), which some terminals obey too; else 0.
std::size_t controlAt(const std::string& text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == 0x7f) {
        return 1;
    }
    if (byte == 0xc2 && at + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[at + 1]);
        return next >= 0x80 && next <= 0x9f ? 2 : 0;
    }
    return 0;
}

// A listed name as the log holds it. A terminal showing the log must not
// obey control characters in it, so each of their bytes is written as "\x1B";
// a backslash is then written "\\", so the form cannot be mistaken. Names
// without control characters stay as they are.
std::string loggedName(const std::string& name) {
    bool control = false;
    for (std::size_t at = 0; at < name.size() && !control; ++at) {
        control = controlAt(name, at) != 0;
    }
    if (!control) {
        return name;
    }
    std::string out;
    for (std::size_t at = 0; at < name.size();) {
        const auto length = controlAt(name, at);
        if (length == 0) {
            out += name[at] == '\\' ? std::string("\\\\") : std::string(1, name[at]);
            ++at;
        }
        for (std::size_t i = 0; i < length; ++i, ++at) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(name[at]));
            out += hex;
        }
    }
    return out;
}

// "3 of 4 files downloaded".
std::string downloadedCount(std::size_t downloaded, std::size_t listed) {
    return std::to_string(downloaded) + " of " + std::to_string(listed) +
           (listed == 1 ? " file" : " files") + " downloaded";
}

// "; A.ZIP failed: not on the server; ...", naming three failures at most,
// each after its separator.
std::string failureList(const std::vector<FailedFile>& failed) {
    std::vector<std::string> failures;
    for (const auto& file : failed) {
        failures.push_back(shownName(file.name) + " failed: " + file.failure);
    }
    return namedWithMore(failures, 3, "; ");
}

// "OTHER.ZIP: kept, it is read-only; ...", naming three at most.
std::string keptList(const std::vector<KeptFile>& kept) {
    std::vector<std::string> lines;
    for (const auto& file : kept) {
        lines.push_back(shownName(file.name) + ": kept, " + file.why);
    }
    return namedWithMore(lines, 3, "; ");
}

// A reason given in lower case, as the first words of a line.
std::string sentence(std::string text) {
    if (!text.empty() && text.front() >= 'a' && text.front() <= 'z') {
        text.front() = static_cast<char>(text.front() - 'a' + 'A');
    }
    return text;
}

// "AB:CD:..." for "sha256:ABCD...", as other tools show fingerprints.
std::string spacedFingerprint(const std::string& fingerprint) {
    const auto hex = fingerprint.substr(fingerprint.find(':') + 1);
    std::string out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        out += (i == 0 ? "" : ":") + hex.substr(i, 2);
    }
    return out;
}

// pinned: the fingerprint trusted before, for a changed certificate.
std::string trustQuestion(const std::string& host, const download::Certificate& certificate,
                          const std::string& pinned) {
    std::string details = "\n\nSubject: " + certificate.subject +
                          "\nIssuer: " + certificate.issuer + "\nValid from " +
                          certificate.notBefore + " to " + certificate.notAfter +
                          "\nSHA-256 fingerprint: " + spacedFingerprint(certificate.fingerprint);
    if (certificate.changed) {
        // Beside the new one, so the user can compare it with what the
        // server's owner says.
        details += "\nTrusted before: " + spacedFingerprint(pinned) + "\n\n";
        return "The certificate of " + host +
               " has CHANGED since you trusted it. Someone may be posing as the server." + details +
               "Trust the new certificate for this server?";
    }
    details += "\n\n";
    return "The certificate of " + host + " could not be verified: " + certificate.reason + "." +
           details + "Trust this certificate for this server?";
}

// "A.ZIP and 2 more were not downloaded; 40.0 MB of A.ZIP kept; Download
// Files goes on from there": what the stop met and what waits for the next run.
std::string stoppedDetail(const TransferOutcome& outcome) {
    const auto& names = outcome.listing.names;
    const auto left = names.size() - *outcome.stoppedAt;
    std::string text = shownName(names[*outcome.stoppedAt]) +
                       (left > 1 ? " and " + std::to_string(left - 1) + " more were not downloaded"
                                 : std::string(" was not downloaded"));
    if (!outcome.partials.empty()) {
        text += "; " + partialsKeptText(outcome.partials) + "; " + kResumedByDownloadText;
    }
    return text + failureList(outcome.failed) + keptList(outcome.kept);
}

}  // namespace

std::string partialsKeptText(const std::vector<PartialKept>& partials) {
    if (partials.empty()) {
        return {};
    }
    std::vector<std::string> parts;
    for (const auto& partial : partials) {
        parts.push_back(sizeText(partial.bytes) + " of " + shownName(partial.name));
    }
    return namedInSentence(parts, 3) + " kept";
}

TransferReport::TransferReport(CommandPort& port, std::string folder,
                               std::function<std::time_t()> clock, Prompter* prompter,
                               std::string logPath)
    : window_(port),
      folder_(std::move(folder)),
      clock_(std::move(clock)),
      prompter_(prompter),
      log_(std::move(logPath)) {
    window_.setProgressText(kVerifyingText);
    window_.setProgressDetail("");
    startEntry_ = formatStamp(kStartStampPattern, clock_()) + "\tStart Ftp Connection\n";
}

void TransferReport::connecting() {
    // A log that cannot be created leaves the transfer to run without one.
    if (!log_.create()) {
        window_.addNote(log_.path().empty()
                            ? std::string("The transfer log could not be created")
                            : "The transfer log " + log_.path() + " could not be created");
    }
    log_.write(startEntry_);
}

std::optional<bool> TransferReport::trust(const std::string& host, const Certificate& certificate,
                                          const std::string& pinned) {
    if (prompter_ == nullptr) {
        return std::nullopt;
    }
    // A certificate that does not verify may be someone posing as the
    // server, on first contact too: only a deliberate Yes trusts it.
    const auto answer =
        prompter_->ask(Prompt{trustQuestion(host, certificate, pinned), PromptButtons::YesNo,
                              certificate.changed ? PromptIcon::Warning : PromptIcon::Question,
                              PromptOwner::MainWindow, PromptAnswer::No});
    return answer == PromptAnswer::Yes;
}

void TransferReport::listed(const ZipListing& listing) {
    listing_ = &listing;
    const auto& names = listing.names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        window_.setProgressText(kFindingText);
    }
    window_.setProgressText(kDownloadingText);
    log_.write("\nNumber of Files in the Mail Box:" + std::to_string(names.size()));
    bytes_.itemCount = static_cast<int>(names.size());
    // Each file's size as the listing told it; the others as their
    // downloads tell them (SIZE, or the RETR reply).
    sizes_.assign(names.size(), -1);
    numbers_.assign(names.size(), 0);
    done_.assign(names.size(), false);
    bytes_.itemsDone = 0;
    for (std::size_t item = 0; item < names.size(); ++item) {
        sizes_[item] = listing.sizeAt(item);
        numbers_[item] = static_cast<int>(item) + 1;
    }
    totalRun();
}

// Only the files fetched count, in number and in bytes.
void TransferReport::planned(const std::vector<bool>& fetching) {
    int number = 0;
    for (std::size_t item = 0; item < sizes_.size() && item < fetching.size(); ++item) {
        numbers_[item] = fetching[item] ? ++number : 0;
        if (!fetching[item]) {
            sizes_[item] = 0;
        }
    }
    bytes_.itemCount = number;
    bytes_.allTotal = -1;
    totalRun();
}

// The run's size, once every file's is known.
void TransferReport::totalRun() {
    if (!sizes_.empty() && std::ranges::all_of(sizes_, [](long long size) { return size >= 0; })) {
        bytes_.allTotal = std::accumulate(sizes_.begin(), sizes_.end(), 0LL);
    }
}

void TransferReport::fileStarted(std::size_t item) {
    const auto& name = listing_->names.at(item);
    // A listed name may hold control bytes; the window shows them as '?'.
    window_.setProgressText("Downloading  " + shownText(name, name.size()) + " to " + folder_);
    if (std::exchange(resumeShown_, false)) {
        window_.setProgressDetail("");
    }
    bytes_.item = shownText(name, name.size());
    current_ = item;
    bytes_.itemNumber = item < numbers_.size() ? numbers_[item] : static_cast<int>(item) + 1;
    bytes_.itemDone = 0;
    bytes_.itemTotal = item < sizes_.size() ? sizes_[item] : -1;
    // Counted from here, also when the server keeps the first byte back.
    window_.setProgressBytes(bytes_);
}

void TransferReport::resuming(std::size_t item, std::int64_t from) {
    const auto& name = listing_->names.at(item);
    window_.setProgressDetail("Resuming " + shownText(name, name.size()) + " at " + sizeText(from));
    resumeShown_ = true;
}

void TransferReport::bytes(std::int64_t done, std::int64_t total) {
    bytes_.allDone += done - bytes_.itemDone;
    bytes_.itemDone = done;
    // A size the listing told stands until the download names one.
    if (total >= 0) {
        bytes_.itemTotal = total;
        if (current_ < sizes_.size() && sizes_[current_] < 0) {
            sizes_[current_] = total;
            totalRun();
        }
    }
    window_.setProgressBytes(bytes_);
}

void TransferReport::countDone(std::size_t item) {
    if (item < done_.size() && !done_[item]) {
        done_[item] = true;
        ++bytes_.itemsDone;
        window_.setProgressBytes(bytes_);
    }
}

void TransferReport::fetchedAhead(std::size_t item) {
    countDone(item);
}

void TransferReport::fileArrived(std::size_t item, const ArrivedFile& /*arrived*/) {
    countDone(item);
}

void TransferReport::fileFailed(std::size_t item, const FailedFile& failed) {
    // A failed file is done with too: the count still reaches the end.
    countDone(item);
    log_.write("\n " + std::to_string(item + 1) + " " + loggedName(failed.name));
}

// Like a normal end in the log; the window says how far the run came.
void TransferReport::endWith(const std::string& headline, const std::string& detail) {
    window_.setProgressText(headline);
    window_.setProgressDetail(detail);
    log_.write(formatStamp(kEndStampPattern, clock_()));
    log_.close();
}

void TransferReport::finished(const TransferOutcome& outcome) {
    const auto& names = outcome.listing.names;
    switch (outcome.end) {
        case TransferEnd::Stopped:
            if (!outcome.stoppedAt) {
                endWith(kStoppedText, kNothingDownloadedText);
                return;
            }
            // The count so far, and what the stop left: this file and any
            // after it, and what of them waits to be resumed.
            endWith(std::string(kStoppedText) + ": " +
                        downloadedCount(outcome.arrived.size(), names.size()),
                    stoppedDetail(outcome));
            return;
        case TransferEnd::NoServer:
            window_.setProgressText(kNoSecureConnectionText);
            window_.setProgressDetail("Set the mailbox server's address in Setup");
            log_.write(kCouldNotConnectText);
            return;
        case TransferEnd::NoSession:
            window_.setProgressText(kNoInternetText);
            log_.write(kFtpExceptionText);
            return;
        case TransferEnd::LoginFailed: {
            const auto& login = outcome.login;
            const char* text = login.status == LoginStatus::FailedWithDescription
                                   ? kCouldNotConnectText
                                   : kFtpExceptionText;
            // Only a log-in the server refused blames the user ID and password;
            // the detail names any other cause. The log keeps its text.
            window_.setProgressText(login.status == LoginStatus::FailedWithDescription &&
                                            !login.refused
                                        ? kNoSecureConnectionText
                                        : text);
            window_.setProgressDetail(login.description);
            if (login.refused) {
                window_.focusPassword();  // the field to correct
            }
            log_.write(text);
            return;
        }
        case TransferEnd::Finished:
            break;
    }
    // The finished text only when every listed file arrived; otherwise how
    // many did, with the reasons below.
    std::string headline = kFinishedText;
    std::string detail;
    if (!outcome.listing.listed) {
        headline = kNotListedText;
        detail = sentence(outcome.listing.failure);
    } else if (!outcome.failed.empty()) {
        headline = downloadedCount(outcome.arrived.size(), names.size());
        detail = failureList(outcome.failed).substr(2);
    } else if (names.empty()) {
        detail = kEmptyMailboxText;
    }
    window_.setProgressText(headline);
    // Files the user keeps are named, not counted as failures.
    if (!outcome.kept.empty()) {
        const std::string kept = keptList(outcome.kept);
        detail += detail.empty() ? kept.substr(2) : kept;
    }
    // Why the run had fewer connections than asked for, for a support case.
    if (!outcome.helperNote.empty()) {
        detail += (detail.empty() ? "" : "; ") + std::string("Further connections gave up: ") +
                  outcome.helperNote;
    }
    if (!detail.empty()) {
        window_.setProgressDetail(detail);
    }
    log_.write(formatStamp(kEndStampPattern, clock_()));
    log_.close();
}

}  // namespace tyq::download
