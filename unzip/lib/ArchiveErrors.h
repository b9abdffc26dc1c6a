#pragma once

#include <cstdint>

struct archive;

namespace tyq::unzip::lib {

enum class ReadStage { Open, Header, Data };

// The result code for libarchive's last error on `a`. libarchive tells some
// failures apart only by their message text; the tests pin each one.
std::int32_t classifyArchiveError(archive* a, ReadStage stage, bool encrypted);

// The result code for a failed system call while writing.
std::int32_t codeForErrno(int error);

}  // namespace tyq::unzip::lib
