#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "unzip/lib/ArchiveSource.h"
#include "unzip/lib/ZipDirectory.h"

namespace tyq::unzip::lib {

enum class Kind { Folder, File, Skipped };

// One entry of the archive, in the archive's order, and where it goes.
struct PlannedEntry {
    std::string name;
    std::vector<std::string> parts;  // its path below the destination
    Kind kind = Kind::Skipped;
    bool selected = false;
    std::uint64_t size = 0;  // uncompressed, as the header says
    std::size_t index = 0;   // its place in the archive
};

// What the readers go by: every entry, which reader writes each file, and
// the encrypted entries read without libarchive.
struct Plan {
    std::vector<PlannedEntry> entries;
    std::uint64_t total = 0;  // bytes of the selected files
    std::size_t files = 0;    // selected files
    unsigned readers = 1;
    std::vector<unsigned> owner;                // reader of each entry
    std::vector<const DirectoryEntry*> direct;  // by entry, or null
};

// The path of the first `count` parts.
std::string joined(const std::vector<std::string>& parts, std::size_t count);

bool matchesMask(const std::string& mask, const char* name);

// Reads every header before anything is written: each name must be safe,
// and no name may be both a file and a folder. Entries that cannot be put in
// the folder as they stand are named in warnings, then the archive fails.
std::vector<PlannedEntry> planArchive(Source& source, const ExtractRequest& request);

// Shares the selected files out among the readers, and picks the encrypted
// entries our own reader takes. `directory` is reordered.
void shareOut(Plan& plan, std::vector<DirectoryEntry>& directory, const ExtractRequest& request);

}  // namespace tyq::unzip::lib
