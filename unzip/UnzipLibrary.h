#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/MainWindowPort.h"
#include "common/SharedLibrary.h"
#include "unzip/UnzipCommand.h"

// The message callback handed to the unzip library with each command. On a
// warning (code 8) it answers "Extract Warning" through the reply buffer
// and, with an UnzipProgress as opaque, keeps the text there.
// With a live UnzipProgress as opaque (any other pointer is ignored) it passes the byte counts on
// to it and returns 1 once the user has asked to stop; otherwise it returns 0.
extern "C" std::int32_t DynaUnzipMsgCallBack(std::uint32_t code, std::uint32_t value,
                                             std::int32_t first, std::int32_t second,
                                             const char* text, char* reply, void* opaque);

namespace tyq::unzip {

// The unzip library's file, loaded from the program's own folder.
inline constexpr char kUnzipLibraryFile[] = "libtyunzip.so";
inline constexpr char kUnzipEntryName[] = "dunzip";
inline constexpr char kPasswordHint[] = "Please check the ZIP Password";

// One archive to extract.
struct UnzipRequest {
    const char* archive = nullptr;      // the archive's full file name
    const char* destination = nullptr;  // the folder to extract into
    const char* password = nullptr;     // none, or a text (an empty one still counts)
    std::int32_t options = 0;           // non-zero: report a failure to the user
};

// Where one archive stands in the unzip command's run.
struct UnzipItem {
    int number = 1;               // 1 for the first archive
    int count = 1;                // how many archives the run works through
    std::int64_t doneBefore = 0;  // the bytes of the archives before it
    // What the archives after it will write, as their directories tell;
    // -1 when one of them does not tell.
    std::int64_t bytesAfter = -1;
};

// The context the library hands back to DynaUnzipMsgCallBack while it
// extracts one archive: passes its byte counts on to the window, carries the
// user's stop back and keeps the library's warnings (which say what entries
// could not be extracted, and why). The library's readers call it from
// several threads.
class UnzipProgress {
  public:
    UnzipProgress(CommandPort& port, std::stop_token stop, std::string archiveName,
                  const UnzipItem& item);
    UnzipProgress(MainWindowPort& window, std::string archiveName, const UnzipItem& item)
        : UnzipProgress(window, window.stopToken(), std::move(archiveName), item) {}
    ~UnzipProgress();
    UnzipProgress(const UnzipProgress&) = delete;
    UnzipProgress& operator=(const UnzipProgress&) = delete;

    // The live UnzipProgress at that address, or nullptr when there is none:
    // the callback reads its last argument through this alone.
    static UnzipProgress* registered(void* context);

    // Each returns true when the library is to stop.
    bool total(std::uint64_t bytes);
    bool advance(std::uint32_t bytes);
    bool stopRequested() const noexcept { return stop_.stop_requested(); }
    void warning(std::string text);
    // The warnings so far, in the order they came.
    std::vector<std::string> warnings() const;
    // The bytes of this archive written so far.
    std::int64_t done() const noexcept { return done_.load(); }
    // How the extraction ended: the library's code, -1 when the library could
    // not be used (set by unzipArchive; -1 until then).
    std::int32_t result() const noexcept { return result_; }
    void setResult(std::int32_t code) noexcept { result_ = code; }

  private:
    void report();

    CommandPort& window_;
    std::stop_token stop_;
    std::string name_;
    UnzipItem item_;
    std::atomic<std::int64_t> total_{-1};
    std::atomic<std::int64_t> done_{0};
    std::int32_t result_ = -1;
    std::mutex reporting_;  // the window takes one caller at a time
    mutable std::mutex warningsMutex_;
    std::vector<std::string> warnings_;
};

// What a result code means to the user, in words to act on:
// "wrong zip password (or the archive is damaged)" for 44, and so on; codes
// without their own words give "could not be extracted (code <n>)".
std::string unzipFailureReason(std::int32_t code);
// The line that explains one archive's failure: "<archive>: <reason>", or
// "The unzip library could not be loaded" for -1, which is no archive's fault.
std::string unzipFailureText(std::string_view archive, std::int32_t code);

// The binding for one archive: loads the library and fills in the record
// when created, calls the entry on run, frees the library on close (and when
// it ends). The record comes first, so the object's address is the record's.
class UnzipLibrary {
  public:
    UnzipCommand command;
    DunzipEntry entry = nullptr;
    std::optional<SharedLibrary> library;

    // port receives the failure texts; libraryFolder holds kUnzipLibraryFile.
    UnzipLibrary(CommandPort& port, const std::filesystem::path& libraryFolder);
    UnzipLibrary(const UnzipLibrary&) = delete;
    UnzipLibrary& operator=(const UnzipLibrary&) = delete;

    // 1 when the archive was extracted, 0 otherwise.
    std::int32_t run();
    void close();
    // The last run's code: the library's, or -1 when it could not be used.
    std::int32_t result() const noexcept { return result_; }

  private:
    CommandPort* window_;
    std::int32_t result_ = -1;
};

// Extracts one archive through a freshly loaded library: 1 when it was
// extracted, 0 otherwise (and 0 without loading anything when there is no
// request). `port` receives the failure texts. With progress, it hears of the
// bytes written and the stop ends the extraction (the code is then
// code::kCancelled). progress->result() holds the call's own code, -1 for a
// library that could not be used.
std::int32_t unzipArchive(const UnzipRequest* request, CommandPort& port,
                          const std::filesystem::path& libraryFolder,
                          UnzipProgress* progress = nullptr);

}  // namespace tyq::unzip
