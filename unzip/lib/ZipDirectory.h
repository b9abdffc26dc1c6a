#pragma once

#include <cstdint>

namespace tyq::unzip::lib {

enum class DirectoryState {
    Ok,
    Empty,        // a well-formed archive without entries
    NoEndRecord,  // no end-of-central-directory record: cut short, or not a zip
    Damaged,      // the record or the central directory do not hold together
    NulInName,    // a stored entry name contains a NUL byte
};

// Walks the archive's central directory just far enough to see every stored
// entry name as raw bytes. libarchive hands names out as C strings, which
// would hide a NUL inside a name.
DirectoryState scanCentralDirectory(int fd, std::uint64_t fileSize);

}  // namespace tyq::unzip::lib
