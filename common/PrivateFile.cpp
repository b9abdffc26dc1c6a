#include "common/PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace tyq {

int replacePrivateFile(const std::filesystem::path& file, std::string_view text,
                       std::string_view prefix) {
    std::string temporary = (file.parent_path() / (std::string(prefix) + "XXXXXX")).string();
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return errno;
    }
    // The first failure's errno, before any clean-up can change it.
    int failure = fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? 0 : errno;
    for (std::size_t done = 0; failure == 0 && done < text.size();) {
        const auto n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            failure = n < 0 ? errno : ENOSPC;
        } else {
            done += static_cast<std::size_t>(n);
        }
    }
    if (failure == 0 && fsync(fd) != 0) {
        failure = errno;
    }
    if (::close(fd) != 0 && failure == 0) {
        failure = errno;
    }
    if (failure == 0 && std::rename(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(temporary.c_str());
    }
    return failure;
}

}  // namespace tyq
