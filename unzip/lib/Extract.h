#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "unzip/UnzipCommand.h"

namespace tyq::unzip::lib {

struct ExtractRequest {
    std::string archive;
    std::string destination;
    std::string itemMask;                 // empty or "*.*": every item
    std::optional<std::string> password;  // none: no password given
    UnzipMessageCallback callback = nullptr;
    // The program's progress context: when set, the callback also hears of
    // the bytes written, and may stop the extraction.
    void* context = nullptr;
};

// Extracts the items of one archive that match the mask into the destination
// folder. Returns 0 when every one of them was verified and is in place,
// otherwise a result code; on failure nothing of the archive is left behind.
std::int32_t extractArchive(const ExtractRequest& request);

}  // namespace tyq::unzip::lib
