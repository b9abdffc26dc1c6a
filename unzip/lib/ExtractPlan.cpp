#include "unzip/lib/ExtractPlan.h"

#include <fnmatch.h>

#include <algorithm>
#include <set>
#include <thread>

#include "unzip/lib/ArchiveErrors.h"
#include "unzip/lib/DirectEntry.h"
#include "unzip/lib/EntryName.h"

namespace tyq::unzip::lib {
namespace {

// Entries are written by up to this many readers at once, each going through
// the archive on its own; below kParallelBytes one reader does it all.
constexpr unsigned kMaxReaders = 4;
constexpr std::uint64_t kParallelBytes = 4 << 20;
// What an entry costs besides its bytes, in bytes of data that take as long:
// every file is made, closed, dated and renamed (on some disks a new file
// alone takes a millisecond of kernel time); an AES entry first derives its
// own key, a thousand rounds of HMAC. Shares balanced by bytes alone gave
// one reader every small file while the other was done early.
constexpr std::uint64_t kCostPerFile = 64 << 10;
constexpr std::uint64_t kCostPerKey = 256 << 10;

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The encrypted entries we read ourselves. libarchive goes through the entries in
// the order of their local headers; the central directory, put in that
// order, must then meet the plan entry for entry (count, name, size), or
// libarchive reads everything itself.
std::vector<const DirectoryEntry*> directReads(const std::vector<PlannedEntry>& plan,
                                               std::vector<DirectoryEntry>& directory,
                                               const ExtractRequest& request) {
    std::vector<const DirectoryEntry*> direct(plan.size(), nullptr);
    if (!request.password || request.password->empty() || directory.size() != plan.size()) {
        return direct;
    }
    std::stable_sort(directory.begin(), directory.end(),
                     [](const DirectoryEntry& x, const DirectoryEntry& y) {
                         return x.localOffset < y.localOffset;
                     });
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const DirectoryEntry& entry = directory[i];
        const bool sameName =
            ((entry.flags & 0x800) != 0 || isAscii(entry.name)) && entry.name == plan[i].name;
        if (!sameName || (i > 0 && entry.localOffset == directory[i - 1].localOffset)) {
            return std::vector<const DirectoryEntry*>(plan.size(), nullptr);
        }
        if (plan[i].kind == Kind::File && isDirectEntry(entry) &&
            static_cast<std::uint64_t>(plan[i].size) == entry.size) {
            direct[i] = &entry;
        }
    }
    return direct;
}

// One header's entry, its name checked.
PlannedEntry planEntry(archive_entry* entry, const ExtractRequest& request) {
    const char* name = entryName(entry);
    if (name == nullptr) {
        throw ExtractError{code::kStructureInvalid};
    }
    PlannedEntry planned;
    planned.name = name;
    const mode_t type = archive_entry_filetype(entry);
    const std::optional<EntryPath> path = checkEntryName(planned.name);
    if (!path) {
        throw ExtractError{code::kStructureInvalid};
    }
    planned.parts = path->parts;
    planned.selected = matchesMask(request.itemMask, name);
    if (archive_entry_size_is_set(entry)) {
        const la_int64_t size = archive_entry_size(entry);
        if (size < 0) {
            throw ExtractError{code::kStructureInvalid};
        }
        planned.size = static_cast<std::uint64_t>(size);
    }
    if (archive_entry_hardlink(entry) != nullptr) {
        planned.kind = Kind::Skipped;
    } else if (type == AE_IFDIR || path->folder) {
        planned.kind = Kind::Folder;
    } else if (type == AE_IFREG) {
        planned.kind = Kind::File;
    }
    if (planned.kind == Kind::File && planned.parts.empty()) {
        throw ExtractError{code::kStructureInvalid};
    }
    return planned;
}

}  // namespace

std::string joined(const std::vector<std::string>& parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            path += '/';
        }
        path += parts[i];
    }
    return path;
}

bool matchesMask(const std::string& mask, const char* name) {
    if (mask.empty() || mask == "*.*" || mask == "*") {
        return true;
    }
    return fnmatch(mask.c_str(), name, FNM_CASEFOLD) == 0;
}

// An entry that could not be put in the folder as it stands (a second entry
// of one name, a link) is named in a warning, and the archive fails once all
// are named.
std::vector<PlannedEntry> planArchive(Source& source, const ExtractRequest& request) {
    ArchivePtr a = openArchive(source, request);
    std::vector<PlannedEntry> plan;
    std::set<std::string> files;
    std::set<std::string> folders;
    std::vector<std::string> lost;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status == ARCHIVE_WARN) {
            const char* text = archive_error_string(a.get());
            warn(request, text != nullptr ? text : "warning while reading an entry header");
        } else if (status != ARCHIVE_OK) {
            throw ExtractError{classifyArchiveError(a.get(), ReadStage::Header, false)};
        }
        PlannedEntry planned = planEntry(entry, request);
        if (planned.selected && planned.kind != Kind::Skipped) {
            const std::size_t folderDepth =
                planned.kind == Kind::File ? planned.parts.size() - 1 : planned.parts.size();
            for (std::size_t depth = 1; depth <= folderDepth; ++depth) {
                folders.insert(joined(planned.parts, depth));
            }
            if (planned.kind == Kind::File &&
                !files.insert(joined(planned.parts, planned.parts.size())).second) {
                lost.push_back("Two entries of one name: " + planned.name);
            }
        }
        if (planned.selected && planned.kind == Kind::Skipped) {
            lost.push_back("Not extracted (link or special file): " + planned.name);
        }
        planned.index = plan.size();
        plan.push_back(std::move(planned));
    }
    for (const std::string& file : files) {
        if (folders.count(file) != 0) {
            throw ExtractError{code::kStructureInvalid};
        }
    }
    if (!lost.empty()) {
        for (const std::string& text : lost) {
            warn(request, text);
        }
        throw ExtractError{code::kSkipped};
    }
    return plan;
}

void shareOut(Plan& plan, std::vector<DirectoryEntry>& directory, const ExtractRequest& request) {
    const std::vector<PlannedEntry>& entries = plan.entries;
    std::vector<std::size_t> files;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].selected && entries[i].kind == Kind::File) {
            files.push_back(i);
        }
    }
    plan.files = files.size();
    unsigned readers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxReaders);
    readers = static_cast<unsigned>(std::min<std::size_t>(readers, files.size()));
    if (plan.total < kParallelBytes || readers == 0) {
        readers = 1;
    }
    plan.readers = readers;
    // Largest first, each to the reader with the least so far.
    constexpr unsigned kNobody = ~0u;
    plan.owner.assign(entries.size(), kNobody);
    std::sort(files.begin(), files.end(), [&entries](std::size_t x, std::size_t y) {
        return entries[x].size > entries[y].size;
    });
    plan.direct = directReads(entries, directory, request);
    std::vector<std::uint64_t> load(readers, 0);
    for (const std::size_t i : files) {
        const auto least =
            static_cast<unsigned>(std::min_element(load.begin(), load.end()) - load.begin());
        plan.owner[i] = least;
        const DirectoryEntry* direct = plan.direct[i];
        const std::uint64_t cost =
            kCostPerFile + (direct != nullptr && direct->aesVersion != 0 ? kCostPerKey : 0);
        // Sizes already add up without overflow; so many files would not.
        if (__builtin_add_overflow(load[least], entries[i].size + cost, &load[least])) {
            throw ExtractError{code::kStructureInvalid};
        }
    }
}

}  // namespace tyq::unzip::lib
