#include "unzip/ExtractArchives.h"

#include <sys/stat.h>
#include <unistd.h>

#include "unzip/UnzipLibrary.h"

namespace tyq::unzip {

ExtractionOutcome extractArchives(const ExtractionPlan& plan, CommandPort& port,
                                  const std::stop_token& stop, std::int32_t* lastResult) {
    ExtractionOutcome outcome;
    UnzipRequest request;
    request.destination = plan.destination.c_str();
    request.password = plan.password.c_str();
    request.options = 1;
    UnzipItem item;
    item.count = static_cast<int>(plan.names.size());
    for (const std::string& name : plan.names) {
        // A stopped archive stays whole, to be extracted by a later run.
        if (stop.stop_requested()) {
            outcome.stoppedAt = name;
            break;
        }
        const std::string archive = plan.destination + name;
        request.archive = archive.c_str();
        struct stat before {};
        const bool known = ::stat(archive.c_str(), &before) == 0;
        UnzipProgress progress(port, stop, name, item);
        const std::int32_t extracted =
            unzipArchive(&request, port, lastResult, plan.libraryFolder, progress);
        ++item.number;
        item.doneBefore += progress.done();
        outcome.lastExtracted = extracted != 0;
        if (extracted != 0) {
            outcome.extracted.push_back(name);
            // An archive holding a file of its own name has just been replaced
            // by that file: deleting the name now would delete what we
            // extracted.
            struct stat after {};
            if (known && ::stat(archive.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
                after.st_ino == before.st_ino) {
                ::unlink(archive.c_str());
            }
            if (plan.extracted) {
                plan.extracted(name);
            }
        } else if (progress.result() == code::kCancelled && stop.stop_requested()) {
            outcome.stoppedAt = name;
            break;
        } else {
            outcome.failures.push_back({name, progress.result(), progress.warnings()});
        }
    }
    outcome.bytes = item.doneBefore;
    // A stop that came too late to end the last archive still counts.
    outcome.stopped = stop.stop_requested();
    return outcome;
}

}  // namespace tyq::unzip
