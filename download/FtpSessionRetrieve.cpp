#include "download/FtpSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "common/Log.h"
#include "common/ShownText.h"
#include "common/StagingFolder.h"
#include "download/ftp/Listing.h"
#include "download/ftp/Transport.h"

// The session's downloads: a file's bytes into a temporary or partial file,
// judged against the sizes the server told, and a resume that goes on only
// where what the server sends continues what the partial holds.
namespace tyq::download {
namespace {

using ftp::Refusal;

std::string shown(std::string_view text) {
    return shownText(text, 200);
}

const char* folderFailure(int error) {
    return error == ENOSPC || error == EDQUOT ? kDiskFullFailure : "cannot write to the folder";
}

const char* verdictFailure(ftp::SizeVerdict verdict) {
    switch (verdict) {
        case ftp::SizeVerdict::NotAsSaid:
            return "not the size the server said";
        case ftp::SizeVerdict::Short:
            return "shorter than the server said";
        case ftp::SizeVerdict::Long:
            return "longer than the server said";
        case ftp::SizeVerdict::Whole:
            break;
    }
    return "";
}

void logVerdict(const std::string& name, long long written, const ftp::ToldSizes& told,
                ftp::SizeVerdict verdict) {
    log::record(log::Category::Transfer, [&] {
        static constexpr const char* kVerdicts[] = {"whole", "sizes told disagree", "short",
                                                    "long"};
        return shown(name) + ": " + std::to_string(written) + " bytes, listed or SIZE " +
               std::to_string(told.sized) + ", RETR reply " + std::to_string(told.announced) +
               ": " + kVerdicts[static_cast<int>(verdict)];
    });
}
}  // namespace

std::string FtpSession::failureOfRetrieve(const std::string& name,
                                          const ftp::RetrieveOutcome& outcome,
                                          bool& resumable) const {
    log::record(log::Category::Transfer, [&] {
        return shown(name) + ": ended after " + std::to_string(outcome.written) +
               " bytes, libcurl " + std::to_string(outcome.code) + ", reply " +
               std::to_string(outcome.replyCode());
    });
    resumable = false;
    if (outcome.code == CURLE_WRITE_ERROR && outcome.refusal == Refusal::None) {
        return folderFailure(outcome.writeError);
    }
    if (outcome.code == CURLE_REMOTE_FILE_NOT_FOUND) {
        return "not on the server";
    }
    if (outcome.code == CURLE_OUT_OF_MEMORY) {
        return "out of memory";
    }
    // What came before the connection dropped or stalled is good to go on
    // from; a refusal of any other kind is not about the bytes.
    resumable = outcome.refusal == Refusal::None && outcome.replyCode() < 500;
    if (outcome.code == CURLE_PARTIAL_FILE) {
        // The data connection ended before the size the server named.
        return "shorter than the server said";
    }
    return failureOf(outcome);
}
DownloadResult PendingFile::commit(const std::string& target) {
    using enum DownloadStatus;
    if (!file_.valid() && !partial_.valid()) {
        return {Failed, "nothing was fetched"};
    }
    const int error = partial_.valid() ? partial_.commit(std::filesystem::path(target))
                                       : file_.commit(std::filesystem::path(target));
    if (error == 0) {
        return {Downloaded, {}};
    }
    file_ = TempFile();  // nothing of it is left
    return {Failed, error == EISDIR ? "a folder of that name is in the way" : folderFailure(error)};
}

DownloadResult FtpSession::download(const std::string& name, const std::string& folder,
                                    long long listedSize, const std::string& listedTime) {
    auto fetched = fetch(name, folder, listedSize, listedTime);
    if (!fetched.result) {
        return fetched.result;
    }
    auto result = fetched.file.commit(folder + "/" + name);
    if (result) {
        transport_->report(fetched.file.size(), fetched.file.size());
    }
    return result;
}

FetchResult FtpSession::fetch(const std::string& name, const std::string& folder,
                              long long listedSize, const std::string& listedTime) {
    using enum DownloadStatus;
    if (!transport_->begin()) {
        return {{Stopped, {}}, {}};
    }
    if (!isPlainFileName(name)) {
        return {{Failed, "not a plain file name"}, {}};
    }
    // Only a file the listing tells the size and time of can be known again
    // by a later run.
    if (partials_ != nullptr) {
        if (auto partial = partials_->claim({name, listedSize, listedTime}); partial.valid()) {
            return fetchPartial(name, std::move(partial), listedSize);
        }
    }
    TempFile temporary;
    if (const int error = temporary.create(
            std::filesystem::path(staging_.empty() ? folder : staging_), kDownloadTempPrefix, 0600);
        error != 0) {
        return {{Failed, folderFailure(error)}, {}};
    }
    const int fd = temporary.fd();
    // From here the temporary file goes with the result, or away.
    PendingFile pending(std::move(temporary));
    const auto got = fchmod(fd, 0644) != 0 ? Retrieved{folderFailure(errno)}
                                           : retrieveInto(name, fd, listedSize);
    // Stopped while asking SIZE: the file is not known to be whole.
    if (transport_->stopped()) {
        return {{Stopped, {}}, {}};
    }
    if (!got.failure.empty()) {
        return {{Failed, got.failure}, {}};
    }
    pending.setSize(got.written);
    return {{Downloaded, {}}, std::move(pending)};
}

FetchResult FtpSession::fetchPartial(const std::string& name, PartialFile partial,
                                     long long listedSize) {
    using enum DownloadStatus;
    const long long from = partial.offset();
    if (from > 0) {
        log::record(log::Category::Transfer, [&] {
            return shown(name) + ": resuming at " + std::to_string(from) + " bytes";
        });
    }
    // Even a partial as long as the file (a kill came after its last byte
    // and before its rename) is checked against the server's last bytes.
    Retrieved got = retrieveInto(name, partial.fd(), listedSize, from);
    if (got.restRefused || got.notContinued) {
        log::record(log::Category::Transfer, [&] {
            return shown(name) +
                   (got.restRefused ? ": the server cannot resume it"
                                    : ": cannot resume it (" + got.failure + ")") +
                   ", fetching it whole";
        });
        const int error = partial.restart();
        got = error != 0 ? Retrieved{folderFailure(error)}
                         : retrieveInto(name, partial.fd(), listedSize);
    }
    const long long held = partial.offset() + got.written;
    // What arrived waits for the next run, unless it is known to be wrong.
    if (transport_->stopped() || (!got.failure.empty() && got.resumable)) {
        if (held > 0) {
            partial.keep();
        }
    }
    if (transport_->stopped()) {
        return {{Stopped, {}}, {}};
    }
    if (!got.failure.empty()) {
        return {{Failed, got.failure}, {}};
    }
    // Whole and checked: should a stop come before its turn, it is not
    // fetched again.
    partial.keep();
    PendingFile pending(std::move(partial));
    pending.setSize(held);
    return {{Downloaded, {}}, std::move(pending)};
}

FtpSession::Retrieved FtpSession::retrieveInto(const std::string& name, int fd,
                                               long long listedSize, long long from) {
    if (from > 0) {
        return resumeInto(name, fd, listedSize, from);
    }
    // Once the server has shown that its RETR reply names the size, SIZE is
    // a round trip saved: for small files that is a third of the time. A
    // size the listing told spares both.
    const bool listed = listedSize >= 0;
    const bool sizeFromReply = sizeInReply_ || listed;
    const auto outcome = transport_->retrieve({name, fd, listedSize, !sizeFromReply});
    Retrieved got;
    got.written = outcome.written;
    const auto& told = outcome.told;
    long long said = told.said();
    if (!listed && sizeFromReply && told.announced < 0 && outcome.ok()) {
        // Not named this time after all: ask for it, as before.
        sizeInReply_ = false;
        log::record(log::Category::Ftp,
                    [] { return std::string("RETR named no size: SIZE again"); });
        said = transport_->size({name}).size;
    }
    if (!outcome.ok()) {
        got.failure = failureOfRetrieve(name, outcome, got.resumable);
        return got;
    }
    if (!sizeFromReply || (listed && told.announced >= 0)) {
        sizeInReply_ = told.announced >= 0;
    }
    const auto verdict = ftp::sizeVerdict(outcome.written, outcome.counted, told, said);
    logVerdict(name, outcome.written, told, verdict);
    got.failure = verdictFailure(verdict);
    return got;
}

FtpSession::Retrieved FtpSession::resumeInto(const std::string& name, int fd, long long listedSize,
                                             long long from) {
    ftp::RetrieveRequest request{name, fd, listedSize, false, from};
    request.overlap = std::min(kResumeOverlap, from);
    request.rest = listedSize >= from ? listedSize - from : -1;
    const auto outcome = transport_->retrieve(request);
    Retrieved got;
    got.written = outcome.written;
    // The server went on from elsewhere than asked, or sent more than the
    // rest of the file: what it sends is not the rest of the partial.
    if (outcome.differs || outcome.overrun) {
        got.notContinued = true;
        got.failure =
            outcome.differs ? "the bytes sent again differ" : "longer than the server said";
        return got;
    }
    if (!outcome.ok()) {
        // A refused REST: anything but a yes to it.
        got.restRefused = outcome.code == CURLE_QUOTE_ERROR;
        got.failure = failureOfRetrieve(name, outcome, got.resumable);
        return got;
    }
    // The file as a whole against the listing; SIZE's answer is today's
    // size, and the RETR reply may name the whole file or what is left.
    ftp::ToldSizes told{listedSize, -1};
    auto verdict =
        ftp::sizeVerdict(from + outcome.written, from + outcome.counted, told, listedSize);
    if (outcome.told.sized >= 0 && outcome.told.sized != listedSize) {
        verdict = ftp::SizeVerdict::NotAsSaid;
    }
    logVerdict(name, from + outcome.written, told, verdict);
    got.failure = verdictFailure(verdict);
    // Whatever came, it did not make the file: it is fetched whole.
    got.notContinued = !got.failure.empty();
    return got;
}

}  // namespace tyq::download
