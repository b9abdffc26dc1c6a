#include "common/SmallFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/Fd.h"

namespace tyq {

int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : ENOSPC;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::optional<std::string> readSmall(int folder, const char* name, std::size_t limit,
                                     bool thisUserOnly) {
    const Fd fd(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (!fd.valid() || ::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        (thisUserOnly && info.st_uid != ::geteuid()) ||
        static_cast<std::size_t>(info.st_size) > limit) {
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        done += static_cast<std::size_t>(n);
    }
    return text;
}

bool readNumber(std::string_view text, std::size_t& at, char end, std::uintmax_t& value) {
    const std::size_t stop = text.find(end, at);
    if (stop == std::string_view::npos || stop == at || stop - at > 20) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < stop; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uintmax_t>(text[i] - '0');
    }
    at = stop + 1;
    return true;
}

}  // namespace tyq
