#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace tyq {

// A new file claimed in a folder under a name nobody else holds, removed
// again when the object ends unless it was committed to its final name or
// handed over. The folder is given as an open descriptor (a staging folder:
// the caller keeps it open while the object lives) or by its path (then the
// object opens it itself).
class TempFile {
  public:
    TempFile() = default;
    ~TempFile();
    TempFile(TempFile&& other) noexcept;
    TempFile& operator=(TempFile&& other) noexcept;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Claims a file in the folder: `first` when it is given and free, else
    // `prefix` and a fresh random number, a new one for every name that is
    // taken, a bounded number of times. Never through a link. 0, or the
    // errno value of the failure.
    int create(int folder, std::string_view prefix, mode_t mode, std::string_view first = {});
    int create(const std::filesystem::path& folder, std::string_view prefix, mode_t mode);

    bool valid() const noexcept { return !name_.empty(); }
    // The open file; -1 once closed.
    int fd() const noexcept { return fd_; }
    const std::string& name() const noexcept { return name_; }
    dev_t device() const noexcept { return device_; }
    ino_t inode() const noexcept { return inode_; }

    // Closes the file and reports the result: a full disk on some file
    // systems shows only here. The file itself stays claimed.
    int close() noexcept;
    // Gives the file its final name (replacing a file there) after closing
    // it. 0, or the errno value; on failure the file still goes with the
    // object.
    int commit(int folder, const std::string& leaf);
    int commit(const std::filesystem::path& target);
    // Moves the file, under its name, into another folder of the same file
    // system, open or not; nothing there is replaced. 0, or the errno value.
    int moveTo(int folder);
    // The file stays under its name when the object ends: someone else (a
    // staging folder's journal) answers for it from here.
    void release() noexcept;

  private:
    void drop() noexcept;
    int folder_ = -1;
    bool ownsFolder_ = false;
    int fd_ = -1;
    std::string name_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

}  // namespace tyq
