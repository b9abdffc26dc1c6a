#pragma once

#include <stdexcept>
#include <string>

namespace tyq {

// A write that failed for lack of space; it leaves the command that raised it
// and the window reports it as "Disk full while accessing <path>.".
class DiskFullError : public std::runtime_error {
  public:
    explicit DiskFullError(std::string path)
        : std::runtime_error("Disk full while accessing " + path + "."), path_(std::move(path)) {}
    const std::string& path() const noexcept { return path_; }

  private:
    std::string path_;
};

}  // namespace tyq
