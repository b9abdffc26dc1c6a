#pragma once

#include <cstdint>
#include <vector>

#include "unzip/lib/ExtractPlan.h"

namespace tyq::unzip::lib {

// Reads and checks the central directory before libarchive sees the
// archive: its structure, overlapping data, encryption no password opens.
// Throws ExtractError with the result code.
std::vector<DirectoryEntry> checkDirectory(int archive, std::uint64_t size,
                                           const ExtractRequest& request);

// Checks the plan against the destination before anything is written: that
// something is selected, that the sizes add up, that no downloaded archive
// would be replaced, that the files fit. Returns the bytes to be written.
// Throws ExtractError with the result code.
std::uint64_t checkPlan(const std::vector<PlannedEntry>& plan, int destination,
                        const ExtractRequest& request);

}  // namespace tyq::unzip::lib
