#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tyq {

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

// Writes all of `bytes`. 0, or the errno value (ENOSPC for a write of none).
int writeAll(int fd, std::string_view bytes);

// The whole of a small regular file, never through a link nor a FIFO:
// nothing when it is larger than `limit` or, with `thisUserOnly`, another
// user's.
std::optional<std::string> readSmall(int folder, const char* name, std::size_t limit,
                                     bool thisUserOnly = false);

// A decimal number of 1 to 20 digits in `text` from `at`, followed by `end`;
// `at` then points past `end`.
bool readNumber(std::string_view text, std::size_t& at, char end, std::uintmax_t& value);

}  // namespace tyq
