#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tyq::unzip::lib {

enum class DirectoryState {
    Ok,
    Empty,        // a well-formed archive without entries
    NoEndRecord,  // no end-of-central-directory record: cut short, or not a zip
    Damaged,      // the record or the central directory do not hold together
    NulInName,    // a stored entry name contains a NUL byte
};

// What the central directory says of one entry, for reading its data without
// libarchive.
struct DirectoryEntry {
    std::string name;  // raw bytes
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;  // Zip64 values read in
    std::uint64_t size = 0;
    std::uint64_t localOffset = 0;  // corrected for data in front of the archive
    bool sizesKnown = false;        // false when the sizes live in a Zip64 field
    // WinZip AES (method 99): 1 or 2 (AE-1, AE-2), 0 when not AES.
    std::uint16_t aesVersion = 0;
    std::uint8_t aesStrength = 0;  // 1, 2, 3: 128, 192, 256-bit keys
    std::uint16_t aesMethod = 0;   // the compression under the encryption
};

// Walks the archive's central directory just far enough to see every stored
// entry name as raw bytes. libarchive hands names out as C strings, which
// would hide a NUL inside a name. With `entries`, also collects each entry.
DirectoryState scanCentralDirectory(int fd, std::uint64_t fileSize,
                                    std::vector<DirectoryEntry>* entries = nullptr);

// Whether the local headers and data of two entries overlap: a zip bomb's way
// of writing far more than the archive holds, never a tool's. An entry whose
// local header cannot be read counts by its first byte.
bool dataOverlaps(int fd, std::uint64_t fileSize, const std::vector<DirectoryEntry>& entries);

}  // namespace tyq::unzip::lib
