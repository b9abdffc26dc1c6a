#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tyq {

// Replaces file with text atomically, readable by the user alone (0600): the
// text goes to a temporary file in the same folder (named prefix + random),
// is flushed to disk and renamed over the file, so a crash leaves the old
// file or the new one, never half of one. 0 on success, else the errno of the
// first step that failed; nothing of the attempt is left behind.
int replacePrivateFile(const std::filesystem::path& file, std::string_view text,
                       std::string_view prefix);
// The same, the new file taking `mode`.
int replaceFile(const std::filesystem::path& file, std::string_view text, std::string_view prefix,
                mode_t mode);

// The file a write to `file` must replace for a symbolic link there to stay
// a link: the links followed, every level, so the target gets the new text.
// A dangling link gives the path it points at. Nothing when the links loop.
std::optional<std::filesystem::path> linkTarget(std::filesystem::path file);

// A file read whole, or why not.
struct RegularFile {
    int error = 0;        // errno of the step that failed, 0 when read
    bool regular = true;  // false: a FIFO, device or folder, left unread
    std::string text;
    uid_t owner = 0;
    mode_t mode = 0;
    bool ok() const noexcept { return error == 0 && regular; }
    // "not a regular file", or the error's words.
    std::string failure() const;
};

// Reads a regular file of at most `limit` bytes (a longer one fails with
// EFBIG). It is opened without waiting and checked before a byte is read, so
// a FIFO or a device named in its place is refused at once instead of holding
// the reader where no stop can reach it.
RegularFile readRegularFile(const std::filesystem::path& file, std::size_t limit);

// A record the program keeps, which need not exist yet: its text, empty when
// there is none, or why it could not be read ("Cannot read <file>: <why>").
struct RecordText {
    std::string text;
    std::optional<std::string> failure;
};
RecordText readRecord(const std::filesystem::path& file, std::size_t limit);

}  // namespace tyq
