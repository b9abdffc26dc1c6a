#include "unzip/lib/ExtractCheck.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <string>

namespace tyq::unzip::lib {

std::vector<DirectoryEntry> checkDirectory(int archive, std::uint64_t size,
                                           const ExtractRequest& request) {
    std::vector<DirectoryEntry> directory;
    switch (scanCentralDirectory(archive, size, &directory)) {
        case DirectoryState::Ok:
            break;
        case DirectoryState::Empty:
            throw ExtractError{code::kNothingToExtract};
        case DirectoryState::NoEndRecord: {
            // A file that starts like a zip but has lost its end was cut short.
            unsigned char start[4] = {};
            const bool zipStart =
                ::pread(archive, start, 4, 0) == 4 && std::memcmp(start, "PK\3\4", 4) == 0;
            throw ExtractError{zipStart ? code::kUnexpectedEnd : code::kOpenArchiveFailed};
        }
        case DirectoryState::Damaged:
        case DirectoryState::NulInName:
            throw ExtractError{code::kStructureInvalid};
    }
    if (dataOverlaps(archive, size, directory)) {
        throw ExtractError{code::kStructureInvalid};
    }
    // What no password opens: strong encryption, and under AES a method
    // other than stored or deflated. A wrong password is no answer there.
    for (const DirectoryEntry& entry : directory) {
        const bool strong = (entry.flags & 1) != 0 && (entry.flags & 0x40) != 0;
        const bool aesUnread = entry.method == 99 && entry.aesMethod != 0 && entry.aesMethod != 8;
        if ((strong || aesUnread) && matchesMask(request.itemMask, entry.name.c_str())) {
            throw ExtractError{code::kUnknownCompression};
        }
    }
    return directory;
}

std::uint64_t checkPlan(const std::vector<PlannedEntry>& plan, int destination,
                        const ExtractRequest& request) {
    bool anySelected = false;
    for (const PlannedEntry& planned : plan) {
        anySelected = anySelected || planned.selected;
    }
    if (!anySelected) {
        throw ExtractError{code::kNothingToExtract};
    }
    std::uint64_t total = 0;
    std::vector<std::string> replacing;
    for (const PlannedEntry& planned : plan) {
        if (!planned.selected || planned.kind != Kind::File) {
            continue;
        }
        // Sizes past what a file offset can hold say the archive is damaged.
        if (__builtin_add_overflow(total, planned.size, &total) ||
            total > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            throw ExtractError{code::kStructureInvalid};
        }
        // A downloaded archive still waiting for its turn is never replaced;
        // the disk decides whether a name is its name.
        struct stat existing {};
        if (planned.parts.size() == 1 &&
            fnmatch("QLM*.ZIP", planned.name.c_str(), FNM_CASEFOLD) == 0 &&
            ::fstatat(destination, planned.parts[0].c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            replacing.push_back(planned.name);
        }
    }
    if (!replacing.empty()) {
        for (const std::string& name : replacing) {
            warn(request, "Would replace a downloaded archive: " + name);
        }
        throw ExtractError{code::kSkipped};
    }
    // What cannot fit fails before anything is written. Some FUSE and
    // network file systems report no size at all (no blocks): their free
    // count says nothing, and a write that finds no room still fails.
    struct statvfs space {};
    std::uint64_t free = 0;
    if (::fstatvfs(destination, &space) == 0 && space.f_blocks != 0 &&
        !__builtin_mul_overflow(std::uint64_t{space.f_bavail}, std::uint64_t{space.f_frsize},
                                &free) &&
        total > free) {
        throw ExtractError{code::kDiskFull};
    }
    return total;
}

}  // namespace tyq::unzip::lib
