#pragma once

#include <optional>
#include <string>

#include "unzip/UnzipCommand.h"

namespace tyq::unzip::lib {

// One archive to extract, as the library's entry was given it.
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

}  // namespace tyq::unzip::lib
