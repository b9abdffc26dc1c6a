#include "download/TransferLog.h"

#include <fcntl.h>
#include <locale.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "common/DiskFullError.h"
#include "common/Paths.h"
#include "common/SmallFiles.h"

namespace tyq::download {
namespace {

// The POSIX locale as a handle of its own: the process's locale stays as it is.
class PosixLocale {
  public:
    PosixLocale() : locale_(newlocale(LC_ALL_MASK, "POSIX", static_cast<locale_t>(0))) {}
    ~PosixLocale() {
        if (locale_ != static_cast<locale_t>(0)) {
            freelocale(locale_);
        }
    }
    PosixLocale(const PosixLocale&) = delete;
    PosixLocale& operator=(const PosixLocale&) = delete;
    locale_t get() const noexcept { return locale_; }

  private:
    locale_t locale_;
};

}  // namespace

std::string formatStamp(const char* pattern, const std::tm& time) {
    const PosixLocale posix;
    if (posix.get() == static_cast<locale_t>(0)) {
        return {};
    }
    // 127 characters and the terminator; a longer text gives no stamp.
    std::array<char, 128> buffer{};
    const auto length = strftime_l(buffer.data(), buffer.size(), pattern, &time, posix.get());
    return std::string(buffer.data(), length);
}

std::string formatStamp(const char* pattern, std::time_t t) {
    std::tm local{};
    if (localtime_r(&t, &local) == nullptr) {
        return {};
    }
    return formatStamp(pattern, local);
}

std::string transferLogPath() {
    const auto directory = currentDirectory();
    if (!directory) {
        return {};
    }
    return *directory + "/" + kTransferLogName;
}

TransferLog::~TransferLog() {
    close();
}

bool TransferLog::create() {
    close();
    if (path_.empty()) {
        return false;
    }
    // Opened without truncation first: a file that another run holds locked
    // must not be emptied under it. Only a regular file of that name is ever
    // written: a link planted there is not followed, and a FIFO or device is
    // neither waited on nor made the terminal.
    const int fd = ::open(
        path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK, 0644);
    if (fd < 0) {
        return false;
    }
    struct stat info {};
    const int flags = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? fcntl(fd, F_GETFL) : -1;
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ||
        flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void TransferLog::write(std::string_view text) {
    if (fd_ < 0) {
        return;
    }
    std::string bytes;
    bytes.reserve(text.size() + 8);
    for (const char c : text) {
        if (c == '\n') {
            bytes += '\r';
        }
        bytes += c;
    }
    if (writeAll(fd_, bytes) != 0) {
        throw DiskFullError(path_);
    }
}

void TransferLog::close() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
        fd_ = -1;
    }
}

}  // namespace tyq::download
