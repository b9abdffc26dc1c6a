#include "unzip/UnzipLibrary.h"

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace tyq::unzip {
namespace {

constexpr char kAllItems[] = "*.*";

}  // namespace

std::string unzipFailureReason(std::int32_t code) {
    switch (code) {
        case -1:
            return "the unzip library could not be loaded";
        // A data error in an encrypted entry is reported as a wrong password
        // too: the two cannot be told apart.
        case code::kBadPassword:
            return "wrong zip password (or the archive is damaged)";
        case code::kBadCrc:
            return "damaged (bad CRC)";
        case code::kUnexpectedEnd:
            return "damaged (cut short)";
        // An entry whose name would write outside the folder ends here too.
        case code::kStructureInvalid:
            return "damaged or unsafe (an entry's name or structure is not valid)";
        case code::kOpenArchiveFailed:
            return "not a zip archive or cannot be read";
        case code::kFileNotFound:
            return "gone before it could be opened";
        case code::kUnknownCompression:
            return "uses a compression method this program cannot read";
        case code::kCreateOutputFailed:
            return "a file could not be created in the folder";
        case code::kDiskFull:
            return "the disk is full";
        case code::kOutOfMemory:
        case 5:
            return "out of memory";
        case code::kNothingToExtract:
            return "holds nothing to extract";
        case code::kSkipped:
            return "not every entry could be extracted as it stands";
        default:
            return "could not be extracted (code " + std::to_string(code) + ")";
    }
}

std::string unzipFailureText(std::string_view archive, std::int32_t code) {
    if (code == -1) {
        return "The unzip library could not be loaded";
    }
    std::string text(archive);
    text += ": ";
    text += unzipFailureReason(code);
    return text;
}

namespace {

// The contexts alive now: the callback takes its last argument for one only
// when it is among them, so a library that passes a pointer of its own there
// is not read as ours.
std::mutex contextsMutex;
std::set<const void*>& liveContexts() {
    static std::set<const void*> contexts;
    return contexts;
}

}  // namespace

UnzipProgress::UnzipProgress(CommandPort& port, std::stop_token stop, std::string archiveName,
                             const UnzipItem& item)
    : window_(port), stop_(std::move(stop)), name_(std::move(archiveName)), item_(item) {
    const std::lock_guard<std::mutex> lock(contextsMutex);
    liveContexts().insert(this);
}

UnzipProgress::~UnzipProgress() {
    const std::lock_guard<std::mutex> lock(contextsMutex);
    liveContexts().erase(this);
}

UnzipProgress* UnzipProgress::registered(void* context) {
    const std::lock_guard<std::mutex> lock(contextsMutex);
    return liveContexts().contains(context) ? static_cast<UnzipProgress*>(context) : nullptr;
}

bool UnzipProgress::total(std::uint64_t bytes) {
    total_ = static_cast<std::int64_t>(bytes);
    report();
    return stopRequested();
}

void UnzipProgress::warning(std::string text) {
    const std::lock_guard<std::mutex> lock(warningsMutex_);
    warnings_.push_back(std::move(text));
}

std::vector<std::string> UnzipProgress::warnings() const {
    const std::lock_guard<std::mutex> lock(warningsMutex_);
    return warnings_;
}

bool UnzipProgress::advance(std::uint32_t bytes) {
    done_ += bytes;
    report();
    return stopRequested();
}

void UnzipProgress::report() {
    const std::lock_guard<std::mutex> lock(reporting_);
    ByteProgress progress;
    progress.item = name_;
    progress.itemNumber = item_.number;
    progress.itemCount = item_.count;
    // Read under the lock, so the window never sees the count go back.
    progress.itemDone = done_.load();
    progress.itemTotal = total_.load();
    progress.allDone = item_.doneBefore + progress.itemDone;
    if (progress.itemTotal >= 0 && item_.bytesAfter >= 0) {
        progress.allTotal = item_.doneBefore + progress.itemTotal + item_.bytesAfter;
    }
    window_.setProgressBytes(progress);
}

UnzipLibrary::UnzipLibrary(CommandPort& port, const std::filesystem::path& libraryFolder)
    : command{}, window_(&port) {
    library.emplace(libraryFolder / kUnzipLibraryFile);
    if (library->loaded()) {
        entry = library->entryAs<DunzipEntry>(kUnzipEntryName);
    }
    // Every field is written, whether or not the library was found.
    command.recordSize = kUnzipCommandSize;
    command.operation = kExtractOperation;
    command.archiveName = nullptr;
    command.field16 = 0;
    command.itemMask = kAllItems;
    command.field28 = -1;
    command.destination = nullptr;
    command.field40 = 0;
    command.field44 = 0;
    command.optionA = 0;
    command.optionB = 0;
    command.field56 = 0;
    command.field60 = 0;
    command.field64 = 1;
    std::memset(command.field68, 0, sizeof command.field68);
    command.passwordGiven = 0;
    command.password = nullptr;
    command.messageCallback = &DynaUnzipMsgCallBack;
    command.field124 = 0;
    command.field128 = 1;
    std::memset(command.field130, 0, sizeof command.field130);
}

std::int32_t UnzipLibrary::run() {
    // The code of an earlier archive says nothing about this one.
    result_ = -1;
    if (entry != nullptr) {
        result_ = entry(&command);
        if (result_ == 0) {
            return 1;
        }
    }
    // A stop is the user's doing, not a fault to explain.
    if (command.optionB != 0 && result_ != code::kCancelled) {
        window_->setProgressText(kPasswordHint);
        // The hint alone does not say what went wrong; the detail does.
        const char* archive = command.archiveName;
        const std::string name =
            archive != nullptr ? std::filesystem::path(archive).filename().string() : std::string();
        window_->setProgressDetail(unzipFailureText(name, result_));
    }
    return 0;
}

void UnzipLibrary::close() {
    entry = nullptr;
    library.reset();
}

std::int32_t unzipArchive(const UnzipRequest* request, CommandPort& port,
                          const std::filesystem::path& libraryFolder, UnzipProgress* progress) {
    if (request == nullptr) {
        return 0;
    }
    UnzipLibrary binding(port, libraryFolder);
    binding.command.archiveName = request->archive;
    binding.command.destination = request->destination;
    if (request->password != nullptr) {
        binding.command.password = request->password;
        binding.command.passwordGiven = 1;
    }
    if (request->options != 0) {
        binding.command.optionA = 1;
        binding.command.optionB = 1;
    }
    if (progress != nullptr) {
        std::memcpy(binding.command.field130, &progress, sizeof progress);
        std::memcpy(binding.command.field130 + (kContextTagOffset - kContextOffset), &kContextTag,
                    sizeof kContextTag);
    }
    // The library is freed on every way out: close() here, the object's end
    // when run() throws.
    const std::int32_t result = binding.run();
    if (progress != nullptr) {
        progress->setResult(binding.result());
    }
    binding.close();
    return result;
}

}  // namespace tyq::unzip
