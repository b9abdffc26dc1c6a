#pragma once

#include <cstdint>
#include "unzip/lib/ExtractRequest.h"

namespace tyq::unzip::lib {

// Extracts the items of one archive that match the mask into the destination
// folder. Returns 0 when every one of them was verified and is in place,
// otherwise a result code; on failure nothing of the archive is left behind.
std::int32_t extractArchive(const ExtractRequest& request);

}  // namespace tyq::unzip::lib
