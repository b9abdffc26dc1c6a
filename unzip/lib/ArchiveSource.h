#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "unzip/lib/ExtractRequest.h"

namespace tyq::unzip::lib {

// A failure that ends the archive, with its result code.
struct ExtractError {
    std::int32_t code;
};

// Another reader failed, or the program asked to stop: this one gives up
// without a result of its own.
struct Stopped {};

[[noreturn]] void failWithErrno(int error);

// Tells the program of something it should know, without failing.
void warn(const ExtractRequest& request, const std::string& text);

// One reader's view of the archive: a position of its own over the shared
// descriptor, so several readers can go through one archive at once.
struct Source {
    static constexpr std::size_t kReadBlock = 256 * 1024;
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;
    std::vector<char> buffer = std::vector<char>(kReadBlock);
};

struct ArchiveFree {
    void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

// Opens the archive for one pass over its entries, from the start.
ArchivePtr openArchive(Source& source, const ExtractRequest& request);

// The entry's name as libarchive gives it: in UTF-8 (the caller runs under a
// UTF-8 character type), converted from CP437 when the archive says nothing.
const char* entryName(archive_entry* entry);

}  // namespace tyq::unzip::lib
