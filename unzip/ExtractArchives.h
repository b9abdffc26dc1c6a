#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "common/CommandPort.h"

namespace tyq::unzip {

// An archive that stayed in the folder, its code and the library's warnings.
struct ArchiveFailure {
    std::string name;
    std::int32_t code = 0;
    std::vector<std::string> warnings;
};

// The archives of one run, settled before it starts.
struct ExtractionPlan {
    // The folder, ending in '/', that holds the archives and takes their files.
    std::string destination;
    std::string password;
    // The archives' names in the folder, in the order they are extracted.
    std::vector<std::string> names;
    // Where the unzip library lies.
    std::filesystem::path libraryFolder;
    // Told of each archive as soon as it is extracted and deleted.
    std::function<void(const std::string& name)> extracted;
};

struct ExtractionOutcome {
    std::vector<std::string> extracted;  // extracted and deleted
    std::vector<ArchiveFailure> failures;
    // The archive a stop left whole (empty when the stop came after the
    // last one, or none came).
    std::string stoppedAt;
    // Every archive the stop left whole: that one and those after it, in
    // the plan's order.
    std::vector<std::string> leftWhole;
    bool stopped = false;
    // The last archive's own result was a success.
    bool lastExtracted = false;
    // The bytes written, of every archive worked on.
    std::int64_t bytes = 0;
};

// The names of the files an archive holds, as its central directory tells
// them (folders left out); none when it cannot be read.
std::vector<std::string> archiveFiles(const std::string& archive);

// Extracts each archive of the plan in turn, all of an archive or nothing,
// and deletes each one extracted. Progress and the library's messages go to
// the port; a stop leaves the archive under way whole.
ExtractionOutcome extractArchives(const ExtractionPlan& plan, CommandPort& port,
                                  const std::stop_token& stop);

}  // namespace tyq::unzip
