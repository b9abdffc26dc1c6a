#pragma once

#include <filesystem>
#include <string_view>

namespace tyq {

// Replaces file with text atomically, readable by the user alone (0600): the
// text goes to a temporary file in the same folder (named prefix + random),
// is flushed to disk and renamed over the file, so a crash leaves the old
// file or the new one, never half of one. 0 on success, else the errno of the
// first step that failed; nothing of the attempt is left behind.
int replacePrivateFile(const std::filesystem::path& file, std::string_view text,
                       std::string_view prefix);

}  // namespace tyq
