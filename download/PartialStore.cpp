#include "download/PartialStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/Fd.h"
#include "common/Log.h"
#include "common/ShownText.h"
#include "common/SmallFiles.h"
#include "download/ftp/Listing.h"

namespace tyq::download {
namespace {

// The folder's record of its own identity; each partial's record is its
// data file's name with this ending.
constexpr char kFolderRecord[] = "partial";
constexpr char kRecordEnding[] = ".rec";
constexpr char kRecordHeader[] = "tyqlmftp partial 1\n";
constexpr char kRecordEnd[] = "end\n";
// A record holds a mailbox name: bounded like any sane file name.
constexpr std::size_t kMaxRecordBytes = 4096;

std::string folderRecord(dev_t device, ino_t inode) {
    char text[128];
    std::snprintf(text, sizeof text, "tyqlmftp partial %" PRIuMAX " %" PRIuMAX "\n",
                  static_cast<std::uintmax_t>(device), static_cast<std::uintmax_t>(inode));
    return text;
}

bool allDigits(std::string_view text) {
    return !text.empty() && text.size() <= 20 &&
           text.find_first_not_of("0123456789") == std::string_view::npos;
}

// A time as the listing told it: MLSD's digits, or the month, day and
// time (or year) of a LIST; one line of it in a record.
bool isTimeText(std::string_view text) {
    return !text.empty() && text.size() <= 64 && std::none_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
}

std::string recordText(const PartialRecord& record) {
    const auto& file = record.file;
    return kRecordHeader + std::to_string(static_cast<std::uintmax_t>(record.device)) + ' ' +
           std::to_string(static_cast<std::uintmax_t>(record.inode)) + ' ' +
           std::to_string(record.born) + ' ' + std::to_string(file.size) + ' ' + file.modified +
           '\n' + std::to_string(file.name.size()) + ':' + file.name + '\n' + kRecordEnd;
}

// A record as written whole; nothing for one cut short or not ours.
std::optional<PartialRecord> parseRecord(std::string_view text, std::string data) {
    if (!text.starts_with(kRecordHeader) || !text.ends_with(kRecordEnd)) {
        return std::nullopt;
    }
    text.remove_prefix(sizeof kRecordHeader - 1);
    text.remove_suffix(sizeof kRecordEnd - 1);
    PartialRecord record;
    record.data = std::move(data);
    std::uintmax_t device = 0;
    std::uintmax_t inode = 0;
    std::uintmax_t born = 0;
    std::uintmax_t size = 0;
    std::uintmax_t length = 0;
    std::size_t at = 0;
    if (!readNumber(text, at, ' ', device) || !readNumber(text, at, ' ', inode) ||
        !readNumber(text, at, ' ', born) || !readNumber(text, at, ' ', size)) {
        return std::nullopt;
    }
    const std::size_t line = text.find('\n', at);
    if (line == std::string_view::npos || !isTimeText(text.substr(at, line - at))) {
        return std::nullopt;
    }
    record.file.modified.assign(text.substr(at, line - at));
    at = line + 1;
    if (!readNumber(text, at, ':', length) || length + 1 != text.size() - at ||
        text.back() != '\n') {
        return std::nullopt;
    }
    record.file.name.assign(text.substr(at, length));
    record.device = static_cast<dev_t>(device);
    record.inode = static_cast<ino_t>(inode);
    record.born = born;
    record.file.size = static_cast<std::int64_t>(size);
    if (!isPlainFileName(record.file.name)) {
        return std::nullopt;
    }
    return record;
}

// The folder open anew: a copy of the descriptor would share where reading
// it got to.
int reopen(int folder) {
    return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

std::uint64_t bornOf(int fd) {
    struct statx info {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &info) != 0 ||
        (info.stx_mask & STATX_BTIME) == 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(info.stx_btime.tv_sec) * 1000000000u + info.stx_btime.tv_nsec;
}

std::string freshNumber() {
    std::uint64_t random = 0;
    if (::getrandom(&random, sizeof random, GRND_NONBLOCK) != sizeof random) {
        static std::uint64_t counter = 0;
        random = static_cast<std::uint64_t>(::getpid()) * 1000003u + ++counter;
    }
    return std::to_string(random);
}

// A new data file under a free number in `folder`: its descriptor, and the
// number in `name`; -1 when none could be made.
int createDataFile(int folder, std::string& name) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string data = freshNumber();
        const int fd = ::openat(folder, data.c_str(),
                                O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            name = std::move(data);
            return fd;
        }
        if (errno != EEXIST) {
            break;
        }
    }
    return -1;
}

}  // namespace

PartialFile::~PartialFile() {
    end();
}

PartialFile::PartialFile(PartialFile&& other) noexcept
    : store_(std::exchange(other.store_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      record_(std::move(other.record_)),
      offset_(other.offset_),
      kept_(other.kept_) {}

PartialFile& PartialFile::operator=(PartialFile&& other) noexcept {
    if (this != &other) {
        end();
        store_ = std::exchange(other.store_, nullptr);
        fd_ = std::exchange(other.fd_, -1);
        record_ = std::move(other.record_);
        offset_ = other.offset_;
        kept_ = other.kept_;
    }
    return *this;
}

void PartialFile::end() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (store_ != nullptr) {
        std::exchange(store_, nullptr)->settle(record_, kept_);
    }
}

int PartialFile::restart() {
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) {
        return errno;
    }
    offset_ = 0;
    return 0;
}

int PartialFile::commit(const std::filesystem::path& target) {
    if (!valid()) {
        return EBADF;
    }
    const int fd = std::exchange(fd_, -1);
    int error = ::close(fd) == 0 ? 0 : errno;
    if (error == 0 &&
        ::renameat(store_->folder_.get(), record_.data.c_str(), AT_FDCWD, target.c_str()) != 0) {
        error = errno;
    }
    // In place, its record goes after the rename: a kill between leaves a
    // record without its data, which the next run drops. Not in place, it
    // goes whole.
    kept_ = false;
    end();
    return error;
}

PartialStore::PartialStore(Fd location, Fd folder, dev_t device, ino_t inode)
    : location_(std::move(location)), folder_(std::move(folder)), device_(device), inode_(inode) {}

std::unique_ptr<PartialStore> PartialStore::open(const std::filesystem::path& location) {
    Fd at(::open(location.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat top {};
    if (!at.valid() || ::fstat(at.get(), &top) != 0) {
        return nullptr;
    }
    const bool made = ::mkdirat(at.get(), kPartialFolderName, 0700) == 0;
    if (!made && errno != EEXIST) {
        return nullptr;
    }
    Fd folder(
        ::openat(at.get(), kPartialFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!folder.valid() || ::fstat(folder.get(), &info) != 0 || info.st_uid != ::geteuid() ||
        info.st_dev != top.st_dev) {
        return nullptr;
    }
    const auto expected = folderRecord(info.st_dev, info.st_ino);
    if (made) {
        const Fd record(::openat(folder.get(), kFolderRecord,
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!record.valid() || writeAll(record.get(), expected) != 0) {
            ::unlinkat(folder.get(), kFolderRecord, 0);
            ::unlinkat(at.get(), kPartialFolderName, AT_REMOVEDIR);
            return nullptr;
        }
    } else if (readSmall(folder.get(), kFolderRecord, kMaxRecordBytes, true) != expected) {
        log::record(log::Category::Transfer, [] {
            return std::string(kPartialFolderName) + " is not ours: nothing is resumed";
        });
        return nullptr;
    }
    std::unique_ptr<PartialStore> store(
        new PartialStore(std::move(at), std::move(folder), info.st_dev, info.st_ino));
    store->load();
    return store;
}

PartialStore::~PartialStore() {
    // Gone once nothing waits in it; whatever else is there keeps it.
    bool empty = true;
    if (const int copy = reopen(folder_.get()); copy >= 0) {
        const Dir dir(::fdopendir(copy));
        if (!dir) {
            ::close(copy);
            empty = false;
        }
        while (dir && empty) {
            const dirent* entry = ::readdir(dir.get());
            if (entry == nullptr) {
                break;
            }
            const std::string_view leaf(entry->d_name);
            empty = leaf == "." || leaf == ".." || leaf == kFolderRecord;
        }
    } else {
        empty = false;
    }
    struct stat info {};
    if (empty && ::fstatat(location_.get(), kPartialFolderName, &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_dev == device_ && info.st_ino == inode_) {
        ::unlinkat(folder_.get(), kFolderRecord, 0);
        ::unlinkat(location_.get(), kPartialFolderName, AT_REMOVEDIR);
    }
}

void PartialStore::load() {
    std::vector<std::string> leaves;
    if (const int copy = reopen(folder_.get()); copy >= 0) {
        const Dir dir(::fdopendir(copy));
        if (!dir) {
            ::close(copy);
            return;
        }
        while (const dirent* entry = ::readdir(dir.get())) {
            leaves.emplace_back(entry->d_name);
        }
    }
    std::set<std::string> data;
    std::vector<std::string> records;
    for (const auto& leaf : leaves) {
        if (allDigits(leaf)) {
            data.insert(leaf);
        } else if (leaf.ends_with(kRecordEnding) &&
                   allDigits(std::string_view(leaf).substr(0, leaf.size() - 4))) {
            records.push_back(leaf);
        }
    }
    for (const auto& leaf : records) {
        auto stem = leaf.substr(0, leaf.size() - 4);
        const auto text = readSmall(folder_.get(), leaf.c_str(), kMaxRecordBytes, true);
        auto record = text ? parseRecord(*text, stem) : std::nullopt;
        const bool hasData = data.erase(stem) != 0;
        if (!record || !hasData || records_.contains(record->file.name)) {
            remove(stem);
            continue;
        }
        records_.emplace(record->file.name, std::move(*record));
    }
    // Data a killed run made before it could record it.
    for (const auto& leaf : data) {
        ::unlinkat(folder_.get(), leaf.c_str(), 0);
    }
}

void PartialStore::remove(const std::string& data) const {
    if (data.empty()) {
        return;
    }
    ::unlinkat(folder_.get(), data.c_str(), 0);
    ::unlinkat(folder_.get(), (data + kRecordEnding).c_str(), 0);
}

void PartialStore::settle(const PartialRecord& record, bool keep) {
    const std::lock_guard lock(mutex_);
    const auto& name = record.file.name;
    busy_.erase(name);
    if (keep && !arrived_.contains(name)) {
        records_.insert_or_assign(name, record);
    } else {
        remove(record.data);
    }
}

void PartialStore::arrived(const std::string& name) {
    const std::lock_guard lock(mutex_);
    arrived_.insert(name);
    if (const auto found = records_.find(name); found != records_.end()) {
        remove(found->second.data);
        records_.erase(found);
    }
}

void PartialStore::prune(const ZipListing& listing) {
    std::map<std::string, ListedFile> listed;
    for (std::size_t item = 0; item < listing.names.size(); ++item) {
        auto file = listedFile(listing, item);
        listed.emplace(file.name, std::move(file));
    }
    const std::lock_guard lock(mutex_);
    for (auto it = records_.begin(); it != records_.end();) {
        const auto found = listed.find(it->first);
        const auto& recorded = it->second.file;
        // A size or time the listing does not tell cannot show a change.
        const bool same = found != listed.end() &&
                          (found->second.size < 0 || found->second.size == recorded.size) &&
                          (found->second.modified.empty() ||
                           ftp::sameTime(found->second.modified, recorded.modified));
        if (same) {
            ++it;
            continue;
        }
        log::record(log::Category::Transfer, [&] {
            return shownText(it->first, 200) + ": partial dropped, the mailbox file " +
                   (found == listed.end() ? "is gone" : "changed");
        });
        remove(it->second.data);
        it = records_.erase(it);
    }
}

PartialFile PartialStore::claim(const ListedFile& file) {
    if (file.size < 0 || !isTimeText(file.modified) || !isPlainFileName(file.name)) {
        return {};
    }
    std::optional<PartialRecord> earlier;
    {
        const std::lock_guard lock(mutex_);
        if (arrived_.contains(file.name) || !busy_.insert(file.name).second) {
            return {};
        }
        if (const auto found = records_.find(file.name); found != records_.end()) {
            earlier = std::move(found->second);
            records_.erase(found);
        }
    }
    if (earlier) {
        auto resumed = resume(*earlier, file);
        if (resumed.valid()) {
            return resumed;
        }
        remove(earlier->data);
    }
    // From here the name is let go of when the partial ends.
    PartialFile partial;
    partial.store_ = this;
    partial.record_.file = file;
    partial.fd_ = createDataFile(folder_.get(), partial.record_.data);
    struct stat info {};
    if (partial.fd_ < 0 || ::fstat(partial.fd_, &info) != 0) {
        return {};
    }
    partial.record_.device = info.st_dev;
    partial.record_.inode = info.st_ino;
    partial.record_.born = bornOf(partial.fd_);
    const Fd out(::openat(folder_.get(), (partial.record_.data + kRecordEnding).c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    // The umask may have narrowed it; a fetched file is readable by all.
    if (::fchmod(partial.fd_, 0644) != 0 || !out.valid() ||
        writeAll(out.get(), recordText(partial.record_)) != 0) {
        return {};
    }
    return partial;
}

int PartialStore::openRecorded(const PartialRecord& record, const ListedFile& file,
                               std::int64_t& size) const {
    // The same time as a collection judges it: a LIST that now shows the
    // year for the hour still names the same file.
    if (record.file.size != file.size || !ftp::sameTime(record.file.modified, file.modified)) {
        return -1;
    }
    Fd fd(
        ::openat(folder_.get(), record.data.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    const bool ours = fd.valid() && ::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) &&
                      info.st_dev == record.device && info.st_ino == record.inode &&
                      bornOf(fd.get()) == record.born && info.st_uid == ::geteuid() &&
                      info.st_nlink == 1 && info.st_size <= file.size;
    if (!ours || ::lseek(fd.get(), 0, SEEK_END) != info.st_size) {
        return -1;
    }
    size = info.st_size;
    return fd.release();
}

std::int64_t PartialStore::held(const ListedFile& file) {
    std::optional<PartialRecord> record;
    {
        const std::lock_guard lock(mutex_);
        if (const auto found = records_.find(file.name); found != records_.end()) {
            record = found->second;
        }
    }
    std::int64_t size = 0;
    const Fd fd(record ? openRecorded(*record, file, size) : -1);
    return fd.valid() ? size : 0;
}

PartialFile PartialStore::resume(const PartialRecord& record, const ListedFile& file) {
    std::int64_t size = 0;
    const int fd = openRecorded(record, file, size);
    if (fd < 0) {
        log::record(log::Category::Transfer, [&] {
            return shownText(file.name, 200) + ": the partial is not the file we wrote";
        });
        return {};
    }
    PartialFile partial;
    partial.store_ = this;
    partial.fd_ = fd;
    partial.record_ = record;
    partial.offset_ = size;
    return partial;
}

}  // namespace tyq::download
