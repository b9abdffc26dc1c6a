#include "unzip/lib/Extract.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#include "common/Fd.h"
#include "common/StagingFolder.h"
#include "unzip/lib/ArchiveErrors.h"
#include "unzip/lib/EntryRead.h"
#include "unzip/lib/ExtractCheck.h"
#include "unzip/lib/StagedCommit.h"

// An archive goes through four steps: plan (every header read: which
// entries, where), check (names, sizes, encryption, space), read (each
// reader through the archive on its own, staging and verifying its files),
// commit (durable, then in place; or rolled back).

namespace tyq::unzip::lib {
namespace {

// Tells the program how many bytes the archive will write. True when it
// answers that it wants to stop.
bool announceTotal(const ExtractRequest& request, std::uint64_t total) {
    if (request.context == nullptr || request.callback == nullptr) {
        return false;
    }
    char reply[kReplyBufferSize] = {};
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(total));
    const auto high = static_cast<std::int32_t>(static_cast<std::uint32_t>(total >> 32));
    return request.callback(kTotalMessage, 0, low, high, "", reply, request.context) != 0;
}

// Runs the readers of the plan, the calling thread as the first.
void readAll(const ExtractRequest& request, const Source& source, const Plan& plan,
             StagedCommit& commit) {
    FirstFailure failure;
    const locale_t names = uselocale(static_cast<locale_t>(0));
    {
        std::vector<std::thread> threads;
        try {
            for (unsigned reader = 1; reader < plan.readers; ++reader) {
                threads.emplace_back(readShare, std::cref(request), source, std::cref(plan), reader,
                                     std::ref(commit), std::ref(failure), names);
            }
        } catch (...) {
            // No thread for a share: the readers already running stop.
            failure.record(0, code::kOutOfMemory);
        }
        if (!failure.stop.load()) {
            readShare(request, source, plan, 0, commit, failure, static_cast<locale_t>(0));
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    if (const auto failed = failure.code()) {
        throw ExtractError{*failed};
    }
}

std::int32_t extract(const ExtractRequest& request) {
    // Non-blocking, so a named pipe of an archive's name is refused below
    // instead of waiting forever for a writer; reads of a file are unaffected.
    Fd archiveFd(::open(request.archive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!archiveFd.valid()) {
        return errno == ENOENT || errno == ENOTDIR ? code::kFileNotFound : code::kOpenArchiveFailed;
    }
    struct stat info {};
    if (::fstat(archiveFd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return code::kOpenArchiveFailed;
    }
    std::vector<DirectoryEntry> directory =
        checkDirectory(archiveFd.get(), static_cast<std::uint64_t>(info.st_size), request);

    Fd destination(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!destination.valid()) {
        return codeForErrno(errno);
    }

    const Source source{archiveFd.get(), static_cast<std::int64_t>(info.st_size)};
    Source planSource = source;
    Plan plan;
    plan.entries = planArchive(planSource, request);
    plan.total = checkPlan(plan.entries, destination.get(), request);
    if (announceTotal(request, plan.total)) {
        return code::kCancelled;
    }

    // Every file of the archive is written in a staging folder of its own
    // at the top of the destination, which goes when the archive is done.
    StagingFolder staging;
    if (const int error = staging.create(destination.get(), kUnzipTempPrefix)) {
        failWithErrno(error);
    }
    shareOut(plan, directory, request);
    StagedCommit commit(destination.get(), request, staging, flushPolicyFor(plan.files),
                        plan.readers);
    // Folders first, in the archive's order; then the files.
    for (const PlannedEntry& planned : plan.entries) {
        if (!planned.selected) {
            continue;
        }
        switch (planned.kind) {
            case Kind::Folder:
                commit.makeFolder(planned.parts, planned.parts.size());
                break;
            case Kind::File:
                commit.makeFolder(planned.parts, planned.parts.size() - 1);
                break;
            case Kind::Skipped:
                warn(request, "Not extracted (link or special file): " + planned.name);
                break;
        }
    }
    readAll(request, source, plan, commit);
    commit.commit();
    return code::kOk;
}

}  // namespace

std::int32_t extractArchive(const ExtractRequest& request) {
    try {
        return extract(request);
    } catch (const ExtractError& error) {
        return error.code;
    }
}

}  // namespace tyq::unzip::lib
