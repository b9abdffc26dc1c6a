#include "unzip/UnzipDownloadFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/FileSearch.h"
#include "common/TempFiles.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "unzip/UnzipLibrary.h"

namespace tyq::unzip {
namespace {

constexpr char kInProgress[] = "Unzipping files in progress...";
constexpr char kFilesNotFound[] = "Files not found";
constexpr char kFinished[] = "Unzipping Finished!";
constexpr char kStopped[] = "Unzipping stopped";

}  // namespace

void unzipDownloadFiles(MainWindowPort& window, const settings::ProfileStore& profiles,
                        const std::filesystem::path& libraryFolder) {
    using namespace settings;
    const StepOneTexts fields = window.takeStepOneFields();
    std::string zipPass = fields.zipPass;
    scrambleZipPassword(zipPass);
    profiles.writeString(kSection, kUser, fields.user, kFileName);
    profiles.writeString(kSection, kPass, fields.pass, kFileName);
    profiles.writeString(kSection, kZipPass, zipPass, kFileName);
    profiles.writeString(kSection, kLocal, fields.local, kFileName);

    window.setProgressDetail("");
    window.setProgressText(kInProgress);

    // Read back whole: a cut path would unzip a different folder.
    const std::string local =
        profiles.getString(kSection, kLocal, "", kNamedReadCapacity, kFileName);
    // An empty Location names the top folder, as it always has.
    const std::string destination = local + "/";
    const std::string password = CSettings(profiles).zipPassword();
    // What a run killed mid-archive left. The top folder (an empty Location)
    // is not swept: that would walk the whole file system.
    if (local.find_first_not_of('/') != std::string::npos) {
        removeLeftovers(destination);
    }

    UnzipRequest request;
    request.destination = destination.c_str();
    request.password = password.c_str();
    request.options = 1;

    const std::vector<std::string> names = findEntries(destination, NamePattern::QlmZip);
    if (names.empty()) {
        window.setProgressText(kFilesNotFound);
        window.counters().lastUnzipResult = -1;
        return;
    }
    const std::stop_token stop = window.stopToken();
    UnzipItem item;
    item.count = static_cast<int>(names.size());
    for (const std::string& name : names) {
        // A stopped archive stays whole, to be extracted by a later run.
        if (stop.stop_requested()) {
            window.setProgressText(kStopped);
            return;
        }
        const std::string archive = destination + name;
        request.archive = archive.c_str();
        struct stat before {};
        const bool known = ::stat(archive.c_str(), &before) == 0;
        UnzipProgress progress(window, name, item);
        const std::int32_t extracted = unzipArchive(&request, window, libraryFolder, progress);
        ++item.number;
        item.doneBefore += progress.done();
        if (extracted != 0) {
            // An archive holding a file of its own name has just been replaced
            // by that file: deleting the name now would delete what we
            // extracted.
            struct stat after {};
            if (known && ::stat(archive.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
                after.st_ino == before.st_ino) {
                ::unlink(archive.c_str());
            }
        }
    }
    // The last archive alone decides: earlier failures keep their detail. A
    // stop that came too late to end the last archive still says it stopped.
    if (stop.stop_requested()) {
        window.setProgressText(kStopped);
    } else if (window.counters().lastUnzipResult == 0) {
        window.setProgressText(kFinished);
    }
}

}  // namespace tyq::unzip
