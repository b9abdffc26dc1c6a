#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace tyq::test {

// A fresh folder under the system's temporary folder, removed with its
// contents when the object ends.
class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tyq-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code error;
        std::filesystem::remove_all(path_, error);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Whole, in one go: a character at a time took seconds for the large files.
inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Makes a folder read-only for whoever runs the test: a read-only bind mount
// for root, who ignores modes; mode 0555 otherwise. made() says it worked.
class ReadOnlyFolder {
  public:
    explicit ReadOnlyFolder(std::filesystem::path folder) : at_(std::move(folder)) {
        mounted_ =
            ::geteuid() == 0 && ::mount(at_.c_str(), at_.c_str(), nullptr, MS_BIND, nullptr) == 0;
        made_ = mounted_ ? ::mount(nullptr, at_.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                                   nullptr) == 0
                         : ::geteuid() != 0 && ::chmod(at_.c_str(), 0555) == 0;
    }
    ~ReadOnlyFolder() {
        mounted_ ? ::umount2(at_.c_str(), MNT_DETACH) : ::chmod(at_.c_str(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
    bool made() const { return made_; }

  private:
    std::filesystem::path at_;
    bool mounted_ = false;
    bool made_ = false;
};

// A tmpfs mounted over a folder for the object's life: a file system of its
// own (root only), of the size `tmpfs` gives. With `disk`, an ext2 image through a loop device
// instead: a file system the desktop treats as a user's disk. mounted() says it worked.
class OtherFileSystem {
  public:
    explicit OtherFileSystem(std::filesystem::path at, bool disk = false,
                             const char* tmpfs = "size=1m")
        : at_(std::move(at)) {
        std::filesystem::create_directories(at_);
        const std::string image = at_.string() + ".img";
        mounted_ = ::geteuid() == 0 &&
                   (disk ? std::system(("truncate -s 2M '" + image + "' && mkfs.ext2 -q '" + image +
                                        "' && mount -o loop '" + image + "' '" + at_.string() +
                                        "' 2>/dev/null")
                                           .c_str()) == 0
                         : ::mount("tmpfs", at_.c_str(), "tmpfs", 0, tmpfs) == 0);
    }
    ~OtherFileSystem() {
        if (mounted_) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    OtherFileSystem(const OtherFileSystem&) = delete;
    OtherFileSystem& operator=(const OtherFileSystem&) = delete;
    bool mounted() const { return mounted_; }

  private:
    std::filesystem::path at_;
    bool mounted_ = false;
};

}  // namespace tyq::test
