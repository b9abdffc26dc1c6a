#include "unzip/ExtractArchives.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <numeric>
#include <optional>

#include "common/Fd.h"
#include "unzip/UnzipLibrary.h"
#include "unzip/lib/ZipDirectory.h"

namespace tyq::unzip {

namespace {

// The entries of an archive's central directory; nothing when it cannot be read.
std::optional<std::vector<lib::DirectoryEntry>> directoryOf(const std::string& archive) {
    const Fd fd(::open(archive.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    std::vector<lib::DirectoryEntry> entries;
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 ||
        lib::scanCentralDirectory(fd.get(), static_cast<std::uint64_t>(status.st_size), &entries) !=
            lib::DirectoryState::Ok) {
        return std::nullopt;
    }
    return entries;
}

// The bytes an archive's entries hold, as its central directory says; -1
// when it cannot be read.
std::int64_t plannedBytes(const std::string& archive) {
    const auto entries = directoryOf(archive);
    if (!entries) {
        return -1;
    }
    return std::accumulate(entries->begin(), entries->end(), std::int64_t{0},
                           [](std::int64_t sum, const lib::DirectoryEntry& entry) {
                               return sum + static_cast<std::int64_t>(entry.size);
                           });
}

// For each archive, what the ones after it will write; -1 once one of them
// does not tell.
std::vector<std::int64_t> bytesAfterEach(const ExtractionPlan& plan) {
    std::vector<std::int64_t> after(plan.names.size(), -1);
    std::int64_t sum = 0;
    for (std::size_t i = plan.names.size(); i-- > 0;) {
        after[i] = sum;
        const std::int64_t planned = sum < 0 ? -1 : plannedBytes(plan.destination + plan.names[i]);
        sum = planned < 0 ? -1 : sum + planned;
    }
    return after;
}

// Deletes an extracted archive, known by what it was `before`. An archive
// holding a file of its own name has just been replaced by that file:
// deleting the name now would delete what was extracted.
void deleteExtracted(const std::string& archive, const struct stat* before) {
    struct stat after {};
    if (before != nullptr && ::stat(archive.c_str(), &after) == 0 &&
        after.st_dev == before->st_dev && after.st_ino == before->st_ino) {
        ::unlink(archive.c_str());
    }
}

}  // namespace

std::vector<std::string> archiveFiles(const std::string& archive) {
    std::vector<std::string> names;
    for (const auto& entry : directoryOf(archive).value_or(std::vector<lib::DirectoryEntry>{})) {
        if (!entry.name.empty() && !entry.name.ends_with('/')) {
            names.push_back(entry.name);
        }
    }
    return names;
}

ExtractionOutcome extractArchives(const ExtractionPlan& plan, CommandPort& port,
                                  const std::stop_token& stop) {
    ExtractionOutcome outcome;
    UnzipRequest request;
    request.destination = plan.destination.c_str();
    request.password = plan.password.c_str();
    request.options = 1;
    UnzipItem item;
    item.count = static_cast<int>(plan.names.size());
    // So the bar can tell bytes of the whole run from the first archive on.
    const std::vector<std::int64_t> bytesAfter = bytesAfterEach(plan);
    for (const std::string& name : plan.names) {
        item.bytesAfter = bytesAfter[static_cast<std::size_t>(item.number - 1)];
        // A stopped archive stays whole, to be extracted by a later run.
        if (stop.stop_requested()) {
            outcome.stoppedAt = name;
            break;
        }
        const std::string archive = plan.destination + name;
        request.archive = archive.c_str();
        struct stat before {};
        const bool known = ::stat(archive.c_str(), &before) == 0;
        UnzipProgress progress(port, stop, name, item);
        const std::int32_t extracted = unzipArchive(&request, port, plan.libraryFolder, &progress);
        ++item.number;
        item.doneBefore += progress.done();
        outcome.lastExtracted = extracted != 0;
        if (extracted != 0) {
            outcome.extracted.push_back(name);
            deleteExtracted(archive, known ? &before : nullptr);
            if (plan.extracted) {
                plan.extracted(name);
            }
        } else if (progress.result() == code::kCancelled && stop.stop_requested()) {
            outcome.stoppedAt = name;
            break;
        } else {
            outcome.failures.push_back({name, progress.result(), progress.warnings()});
        }
    }
    if (!outcome.stoppedAt.empty()) {
        const auto at = std::find(plan.names.begin(), plan.names.end(), outcome.stoppedAt);
        outcome.leftWhole.assign(at, plan.names.end());
    }
    outcome.bytes = item.doneBefore;
    // A stop that came too late to end the last archive still counts.
    outcome.stopped = stop.stop_requested();
    return outcome;
}

}  // namespace tyq::unzip
