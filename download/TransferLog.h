#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace tyq::download {

// The log's file name; it lives in the process's current directory.
inline constexpr char kTransferLogName[] = "QLMTYFTP.Log";

// Patterns of the start and end stamps.
inline constexpr char kStartStampPattern[] = "%A, %B %d, %Y, %I:%M %p";
inline constexpr char kEndStampPattern[] = "\n%A, %B %d, %Y, %I:%M %p";

// The local time t formatted with a strftime pattern in the POSIX locale,
// whatever locale the process runs in. Empty when t has no local time or the
// text would exceed 127 characters.
std::string formatStamp(const char* pattern, std::time_t t);
// The same for a broken-down time.
std::string formatStamp(const char* pattern, const std::tm& time);

// The current directory followed by "/QLMTYFTP.Log", or empty when the
// current directory cannot be read.
std::string transferLogPath();

// The transfer's record of one run. Each entry's LF is stored as CR LF; a CR
// already in the text stays, so a CR LF in an entry becomes CR CR LF. The file
// is held under an exclusive advisory lock while it is open.
class TransferLog {
  public:
    explicit TransferLog(std::string path) : path_(std::move(path)) {}
    ~TransferLog();
    TransferLog(const TransferLog&) = delete;
    TransferLog& operator=(const TransferLog&) = delete;

    // Creates the file anew (emptied when present). False when it cannot be
    // created, another process holds it, or the name is taken by anything but
    // a regular file (a symbolic link, a FIFO, a device, a folder); the log
    // then stays closed and writes go nowhere, so a transfer never fails for
    // want of its log.
    bool create();
    // Appends one entry. A write that fails throws DiskFullError naming the path.
    void write(std::string_view text);
    void close() noexcept;

    const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace tyq::download
