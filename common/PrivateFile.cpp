#include "common/PrivateFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/Fd.h"
#include "common/SmallFiles.h"

namespace tyq {

int replacePrivateFile(const std::filesystem::path& file, std::string_view text,
                       std::string_view prefix) {
    return replaceFile(file, text, prefix, S_IRUSR | S_IWUSR);
}

int replaceFile(const std::filesystem::path& file, std::string_view text, std::string_view prefix,
                mode_t mode) {
    std::string temporary = (file.parent_path() / (std::string(prefix) + "XXXXXX")).string();
    Fd fd(mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd.valid()) {
        return errno;
    }
    // The first failure's errno, before any clean-up can change it.
    int failure = ::fchmod(fd.get(), mode) == 0 ? 0 : errno;
    if (failure == 0) {
        failure = writeAll(fd.get(), text);
    }
    if (failure == 0 && ::fsync(fd.get()) != 0) {
        failure = errno;
    }
    if (const int closed = fd.close(); failure == 0) {
        failure = closed;
    }
    if (failure == 0 && std::rename(temporary.c_str(), file.c_str()) != 0) {
        failure = errno;
    }
    if (failure != 0) {
        ::unlink(temporary.c_str());
    }
    return failure;
}

std::optional<std::filesystem::path> linkTarget(std::filesystem::path file) {
    // As many levels as the kernel itself follows.
    constexpr int kMaxLinks = 40;
    for (int level = 0; level <= kMaxLinks; ++level) {
        std::error_code error;
        if (!std::filesystem::is_symlink(std::filesystem::symlink_status(file, error))) {
            return file;
        }
        const auto target = std::filesystem::read_symlink(file, error);
        if (error) {
            return std::nullopt;
        }
        file = file.parent_path() / target;  // an absolute target replaces it all
    }
    return std::nullopt;
}

std::string RegularFile::failure() const {
    return !regular ? std::string("not a regular file") : std::string(std::strerror(error));
}

RecordText readRecord(const std::filesystem::path& file, std::size_t limit) {
    RegularFile read = readRegularFile(file, limit);
    if (read.error == ENOENT) {
        return {};
    }
    if (!read.ok()) {
        return {{}, "Cannot read " + file.string() + ": " + read.failure()};
    }
    return {std::move(read.text), std::nullopt};
}

RegularFile readRegularFile(const std::filesystem::path& file, std::size_t limit) {
    RegularFile read;
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        read.error = errno;
        return read;
    }
    const struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        read.error = errno;
        return read;
    }
    read.owner = info.st_uid;
    read.mode = info.st_mode;
    if (!S_ISREG(info.st_mode)) {
        read.regular = false;
        return read;
    }
    char buffer[65536];
    for (;;) {
        const auto n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            read.error = errno;
            break;
        }
        if (n == 0) {
            break;
        }
        if (read.text.size() + static_cast<std::size_t>(n) > limit) {
            read.error = EFBIG;
            break;
        }
        read.text.append(buffer, static_cast<std::size_t>(n));
    }
    if (read.error != 0) {
        read.text.clear();
    }
    return read;
}

}  // namespace tyq
