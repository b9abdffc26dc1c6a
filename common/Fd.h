#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace tyq {

// A file descriptor closed when the object ends.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : fd_(other.release()) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }
    int release() noexcept { return std::exchange(fd_, -1); }
    // Closes now and reports the result, 0 or the errno value: a full disk
    // on some file systems shows only here.
    int close() noexcept {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0 ? 0 : errno;
    }

  private:
    int fd_ = -1;
};

}  // namespace tyq
