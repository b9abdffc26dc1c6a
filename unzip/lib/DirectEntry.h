#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "unzip/lib/ZipDirectory.h"

namespace tyq::unzip::lib {

// Receives the plain data of an entry, in order, with its offset.
using DataSink = std::function<void(const char* data, std::size_t size, std::uint64_t offset)>;

// Whether the entry is an encrypted one this reader can take on its own:
// WinZip AES (AE-1, AE-2) or traditional encryption, stored or deflated.
bool isDirectEntry(const DirectoryEntry& entry);

// Reads one encrypted entry straight from the archive: decryption, inflation
// and every check (the size; the CRC, except for AE-2, which has none; for
// AES the authentication code over the encrypted data). libarchive's own
// paths are several times slower here: it expands the AES key again for
// every 16-byte block and steps the traditional keys through a zlib call per
// byte. True only when the whole entry went to the sink and every check
// passed; false as soon as anything does not check out (the caller then
// discards what the sink got and lets libarchive read the entry, which names
// the fault). Exceptions from the sink pass through.
bool readDirectEntry(int fd, std::uint64_t fileSize, const DirectoryEntry& entry,
                     const std::string& password, const DataSink& sink);

}  // namespace tyq::unzip::lib
