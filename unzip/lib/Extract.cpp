#include "unzip/lib/Extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <locale.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "common/TempFiles.h"
#include "unzip/lib/ArchiveErrors.h"
#include "unzip/lib/DirectEntry.h"
#include "unzip/lib/EntryName.h"
#include "unzip/lib/Fd.h"
#include "unzip/lib/ZipDirectory.h"

namespace tyq::unzip::lib {
namespace {

constexpr std::size_t kReadBlock = 256 * 1024;
// Bytes a reader writes between two progress messages: often enough for a
// stop to take effect at once, rarely enough to cost nothing.
constexpr std::uint64_t kProgressBatch = 1 << 20;
// Entries are written by up to this many readers at once, each going through
// the archive on its own; below kParallelBytes one reader does it all.
constexpr unsigned kMaxWorkers = 4;
constexpr std::uint64_t kParallelBytes = 4 << 20;

// A failure that ends the archive, with its result code.
struct ExtractError {
    std::int32_t code;
};

// Another reader failed: this one gives up without a result of its own.
struct Stopped {};

[[noreturn]] void failWithErrno(int error) {
    throw ExtractError{codeForErrno(error)};
}

// One reader's view of the archive: a position of its own over the shared
// descriptor, so several readers can go through one archive at once.
struct Source {
    int fd = -1;
    std::int64_t size = 0;
    std::int64_t position = 0;
    std::vector<char> buffer = std::vector<char>(kReadBlock);
};

la_ssize_t readSource(archive* a, void* data, const void** block) {
    auto& source = *static_cast<Source*>(data);
    for (;;) {
        const ssize_t n = ::pread(source.fd, source.buffer.data(), source.buffer.size(),
                                  static_cast<off_t>(source.position));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            archive_set_error(a, errno, "Error reading the archive");
            return -1;
        }
        source.position += n;
        *block = source.buffer.data();
        return n;
    }
}

la_int64_t seekSource(archive*, void* data, la_int64_t offset, int whence) {
    auto& source = *static_cast<Source*>(data);
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? source.position
                                                   : source.size;
    if (base + offset < 0) {
        return ARCHIVE_FATAL;
    }
    source.position = base + offset;
    return source.position;
}

la_int64_t skipSource(archive*, void* data, la_int64_t request) {
    auto& source = *static_cast<Source*>(data);
    const std::int64_t left = std::max<std::int64_t>(0, source.size - source.position);
    const std::int64_t skipped = std::min<std::int64_t>(request, left);
    source.position += skipped;
    return skipped;
}

struct ArchiveFree {
    void operator()(archive* a) const noexcept { archive_read_free(a); }
};
using ArchivePtr = std::unique_ptr<archive, ArchiveFree>;

void warn(const ExtractRequest& request, const std::string& text) {
    if (request.callback == nullptr) {
        return;
    }
    char reply[kReplyBufferSize] = {};
    request.callback(kWarningMessage, 0, 0, 0, text.c_str(), reply, request.context);
}

// Tells the program how many bytes the archive will write. True when it
// answers that it wants to stop.
bool announceTotal(const ExtractRequest& request, std::uint64_t total) {
    if (request.context == nullptr || request.callback == nullptr) {
        return false;
    }
    char reply[kReplyBufferSize] = {};
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(total));
    const auto high = static_cast<std::int32_t>(static_cast<std::uint32_t>(total >> 32));
    return request.callback(kTotalMessage, 0, low, high, "", reply, request.context) != 0;
}

bool matchesMask(const std::string& mask, const char* name) {
    if (mask.empty() || mask == "*.*" || mask == "*") {
        return true;
    }
    return fnmatch(mask.c_str(), name, FNM_CASEFOLD) == 0;
}

// Opens the archive for one pass over its entries. Only the reader that goes
// by the central directory is enabled: it knows every size and CRC up front.
ArchivePtr openArchive(Source& source, const ExtractRequest& request) {
    source.position = 0;
    ArchivePtr a(archive_read_new());
    if (!a) {
        throw ExtractError{code::kOutOfMemory};
    }
    archive_read_support_format_zip_seekable(a.get());
    // Names without the UTF-8 flag come from DOS-era tools.
    archive_read_set_format_option(a.get(), "zip", "hdrcharset", "CP437");
    // libarchive refuses an empty passphrase; an encrypted entry then fails as
    // one without a password, which is what it is.
    if (request.password && !request.password->empty()) {
        if (archive_read_add_passphrase(a.get(), request.password->c_str()) != ARCHIVE_OK) {
            throw ExtractError{code::kOutOfMemory};
        }
    }
    archive_read_set_callback_data(a.get(), &source);
    archive_read_set_read_callback(a.get(), readSource);
    archive_read_set_seek_callback(a.get(), seekSource);
    archive_read_set_skip_callback(a.get(), skipSource);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
        throw ExtractError{classifyArchiveError(a.get(), ReadStage::Open, false)};
    }
    return a;
}

enum class Kind { Folder, File, Skipped };

struct PlannedEntry {
    std::string name;
    std::vector<std::string> parts;
    Kind kind = Kind::Skipped;
    bool selected = false;
    std::uint64_t size = 0;  // uncompressed, as the header says
    std::size_t index = 0;   // its place in the archive
};

std::string joined(const std::vector<std::string>& parts, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            path += '/';
        }
        path += parts[i];
    }
    return path;
}

// The entry's name as libarchive gives it: in UTF-8 (the caller runs under a
// UTF-8 character type), converted from CP437 when the archive says nothing.
const char* entryName(archive_entry* entry) {
    const char* name = archive_entry_pathname_utf8(entry);
    return name != nullptr ? name : archive_entry_pathname(entry);
}

// Reads every header before anything is written: each name must be safe, and
// no name may be both a file and a folder. An entry that could not be put in
// the folder as it stands (a second entry of one name, a link) is named in a
// warning, and the archive fails once all are named.
std::vector<PlannedEntry> planArchive(Source& source, const ExtractRequest& request) {
    ArchivePtr a = openArchive(source, request);
    std::vector<PlannedEntry> plan;
    std::set<std::string> files;
    std::set<std::string> folders;
    std::vector<std::string> lost;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status == ARCHIVE_WARN) {
            const char* text = archive_error_string(a.get());
            warn(request, text != nullptr ? text : "warning while reading an entry header");
        } else if (status != ARCHIVE_OK) {
            throw ExtractError{classifyArchiveError(a.get(), ReadStage::Header, false)};
        }
        const char* name = entryName(entry);
        if (name == nullptr) {
            throw ExtractError{code::kStructureInvalid};
        }
        PlannedEntry planned;
        planned.name = name;
        const mode_t type = archive_entry_filetype(entry);
        const bool folderType = type == AE_IFDIR;
        const std::optional<EntryPath> path = checkEntryName(planned.name);
        if (!path) {
            throw ExtractError{code::kStructureInvalid};
        }
        planned.parts = path->parts;
        planned.selected = matchesMask(request.itemMask, name);
        if (archive_entry_size_is_set(entry)) {
            const la_int64_t size = archive_entry_size(entry);
            if (size < 0) {
                throw ExtractError{code::kStructureInvalid};
            }
            planned.size = static_cast<std::uint64_t>(size);
        }
        if (archive_entry_hardlink(entry) != nullptr) {
            planned.kind = Kind::Skipped;
        } else if (folderType || path->folder) {
            planned.kind = Kind::Folder;
        } else if (type == AE_IFREG) {
            planned.kind = Kind::File;
        }
        if (planned.kind == Kind::File && planned.parts.empty()) {
            throw ExtractError{code::kStructureInvalid};
        }
        if (planned.selected && planned.kind != Kind::Skipped) {
            const std::size_t folderDepth =
                planned.kind == Kind::File ? planned.parts.size() - 1 : planned.parts.size();
            for (std::size_t depth = 1; depth <= folderDepth; ++depth) {
                folders.insert(joined(planned.parts, depth));
            }
            if (planned.kind == Kind::File &&
                !files.insert(joined(planned.parts, planned.parts.size())).second) {
                lost.push_back("Two entries of one name: " + planned.name);
            }
        }
        if (planned.selected && planned.kind == Kind::Skipped) {
            lost.push_back("Not extracted (link or special file): " + planned.name);
        }
        planned.index = plan.size();
        plan.push_back(std::move(planned));
    }
    for (const std::string& file : files) {
        if (folders.count(file) != 0) {
            throw ExtractError{code::kStructureInvalid};
        }
    }
    if (!lost.empty()) {
        for (const std::string& text : lost) {
            warn(request, text);
        }
        throw ExtractError{code::kSkipped};
    }
    return plan;
}

// The first failure among the readers, by entry order, so the result does
// not depend on which reader got there first.
class FirstFailure {
  public:
    void record(std::size_t index, std::int32_t code) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_ && (!code_ || index < index_)) {
            index_ = index;
            code_ = code;
        }
        stop = true;
    }
    // The program asked to stop: that is the result, whatever else failed
    // while the readers wound down.
    void cancel() {
        const std::lock_guard<std::mutex> lock(mutex_);
        cancelled_ = true;
        code_ = code::kCancelled;
        stop = true;
    }
    std::optional<std::int32_t> code() const { return code_; }
    std::atomic<bool> stop{false};

  private:
    std::mutex mutex_;
    std::size_t index_ = 0;
    std::optional<std::int32_t> code_;
    bool cancelled_ = false;
};

// One reader's count of the bytes it wrote, passed on to the program in
// batches; the program's answer may stop every reader. Without a context it
// does nothing.
class Progress {
  public:
    Progress(const ExtractRequest& request, FirstFailure& failure)
        : callback_(request.context != nullptr ? request.callback : nullptr),
          context_(request.context),
          failure_(failure) {}

    void add(std::uint64_t bytes) {
        unsent_ += bytes;
        if (unsent_ >= kProgressBatch) {
            send();
        }
    }
    // Reports what is not reported yet. Also at the end of every file, even
    // an empty one: the answer is how a stop reaches a reader of many small
    // files.
    void send() {
        if (callback_ == nullptr) {
            return;
        }
        do {
            const auto bytes = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(unsent_, std::numeric_limits<std::uint32_t>::max()));
            unsent_ -= bytes;
            char reply[kReplyBufferSize] = {};
            if (callback_(kProgressMessage, bytes, 0, 0, "", reply, context_) != 0) {
                failure_.cancel();
                throw Stopped{};
            }
        } while (unsent_ > 0);
    }

  private:
    UnzipMessageCallback callback_;
    void* context_;
    FirstFailure& failure_;
    std::uint64_t unsent_ = 0;
};

// An entry whose data we read ourselves instead of through libarchive.
struct DirectRead {
    int fd = -1;
    std::uint64_t fileSize = 0;
    const std::string* password = nullptr;
    const DirectoryEntry* entry = nullptr;
};

// The folder a reader wrote into last, kept open: entries usually come
// folder by folder. One per reader.
struct FolderCache {
    Fd fd;
    std::string path;
};

// Writes the archive's files into the staging folder and puts them in place
// only when every one of them is verified. Until then no file of the folder
// is replaced; on any failure rollback puts back the files replaced so far
// and removes the folders this archive created (the staging folder goes with
// what is in it). Several readers may write files at once.
class Writer {
  public:
    Writer(int root, const ExtractRequest& request, StagingFolder& staging)
        : root_(root), request_(request), staging_(staging) {}
    ~Writer() {
        if (!committed_) {
            rollback();
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void makeFolder(const std::vector<std::string>& parts, std::size_t count) {
        folderFd(parts, count, true, cache_);
    }

    void writeFile(archive* a, archive_entry* entry, const PlannedEntry& planned,
                   FolderCache& cache, const std::atomic<bool>& stop, Progress& progress,
                   const DirectRead& direct) {
        const int folder = folderFd(planned.parts, planned.parts.size() - 1, true, cache);
        const std::string& leaf = planned.parts.back();
        // Staged files reach their folder by a rename, which cannot leave
        // the staging folder's file system.
        struct stat where {};
        if (::fstat(folder, &where) != 0) {
            failWithErrno(errno);
        }
        if (where.st_dev != staging_.device()) {
            warn(request_, "On another file system: " + planned.name);
            throw ExtractError{code::kCreateOutputFailed};
        }
        struct stat existing {};
        if (::fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(existing.st_mode)) {
                // A folder this archive made under another name: the disk
                // does not tell the two names apart.
                if (const auto other = ours(existing)) {
                    collision(*other, planned.name);
                }
                throw ExtractError{code::kCreateOutputFailed};
            }
        } else if (errno != ENOENT) {
            // A name the folder cannot take (too long, say) fails here, before
            // any file of the archive has been given its final name.
            failWithErrno(errno);
        }
        mode_t mode = archive_entry_perm(entry) & 0777;  // never set-id or sticky
        if (mode == 0) {
            mode = 0644;
        }
        Pending pending;
        pending.folder.assign(planned.parts.begin(), planned.parts.end() - 1);
        pending.leaf = leaf;
        pending.name = planned.name;
        pending.index = planned.index;
        pending.temp = std::to_string(planned.index);
        Fd file(::openat(staging_.fd(), pending.temp.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        struct stat info {};
        if (!file.valid() || ::fstat(file.get(), &info) != 0) {
            failWithErrno(errno);
        }
        pending.inode = info.st_ino;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            pending_.push_back(pending);
        }
        remember(info, planned.name);

        // Bytes of this entry written and reported: when our own reader gives
        // the entry up, libarchive's second reading reports only what is new.
        std::uint64_t written = 0;
        std::uint64_t reported = 0;
        const auto count = [&](std::size_t size) {
            written += size;
            if (written > reported) {
                progress.add(written - reported);
                reported = written;
            }
        };
        bool done = false;
        if (direct.entry != nullptr) {
            done = readDirectEntry(direct.fd, direct.fileSize, *direct.entry, *direct.password,
                                   [&](const char* data, std::size_t size, std::uint64_t offset) {
                                       if (stop.load(std::memory_order_relaxed)) {
                                           throw Stopped{};
                                       }
                                       writeAll(file.get(), data, size,
                                                static_cast<la_int64_t>(offset));
                                       count(size);
                                   });
            // Whatever did not check out, libarchive reads again and names.
            if (!done && ::ftruncate(file.get(), 0) != 0) {
                failWithErrno(errno);
            }
            written = 0;
        }
        const bool encrypted = archive_entry_is_data_encrypted(entry) != 0;
        while (!done) {
            if (stop.load(std::memory_order_relaxed)) {
                throw Stopped{};
            }
            const void* block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int status = archive_read_data_block(a, &block, &size, &offset);
            if (status == ARCHIVE_EOF) {
                break;
            }
            // A warning here is a failed CRC or authentication check.
            if (status != ARCHIVE_OK) {
                throw ExtractError{classifyArchiveError(a, ReadStage::Data, encrypted)};
            }
            // More than the entry declared is damage, or a bomb: it stops
            // here, not when the disk is full.
            std::uint64_t end = 0;
            if (offset < 0 ||
                __builtin_add_overflow(static_cast<std::uint64_t>(offset), size, &end) ||
                end > planned.size) {
                throw ExtractError{code::kBadCrc};
            }
            writeAll(file.get(), static_cast<const char*>(block), size, offset);
            count(size);
        }
        if (archive_entry_mtime_is_set(entry)) {
            const timespec times[2] = {
                {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)},
                {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
            ::futimens(file.get(), times);
        }
        // Starts the write-back now, so the flush before the renames finds
        // most of the data already on its way.
        ::sync_file_range(file.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
        {
            // Kept open for the flush before the renames while few.
            const std::lock_guard<std::mutex> lock(mutex_);
            if (written_.size() < kFlushEachUpTo) {
                written_.push_back(std::move(file));
            }
        }
        if (file.valid() && file.close() != 0) {
            failWithErrno(errno);
        }
        progress.send();
    }

    // Flushes the new files, then gives them their final names.
    void commit() {
        // A few files are flushed each on its own; for many, one flush of
        // the whole file system costs less, though it waits for others' data.
        const bool each = written_.size() == pending_.size();
        if (each) {
            for (Fd& file : written_) {
                if (::fdatasync(file.get()) != 0 || file.close() != 0) {
                    failWithErrno(errno);
                }
            }
            written_.clear();
        } else if (::syncfs(root_) != 0) {
            failWithErrno(errno);
        }
        std::sort(pending_.begin(), pending_.end(),
                  [](const Pending& x, const Pending& y) { return x.index < y.index; });
        // Every final name is looked at before the first file takes one: a
        // folder in the way, or two names the disk takes for one file, fail
        // the archive while nothing is replaced yet.
        std::map<FileId, std::string> replaced;
        std::vector<StagedEntry> journal;
        journal.reserve(pending_.size());
        for (Pending& pending : pending_) {
            const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
            struct stat info {};
            if (::fstatat(folder, pending.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
                if (const auto other = ours(info)) {
                    collision(*other, pending.name);
                }
                if (S_ISDIR(info.st_mode)) {
                    throw ExtractError{code::kCreateOutputFailed};
                }
                const auto [it, fresh] =
                    replaced.emplace(FileId{info.st_dev, info.st_ino}, pending.name);
                if (!fresh) {
                    collision(it->second, pending.name);
                }
                pending.existed = true;
            } else if (errno != ENOENT) {
                failWithErrno(errno);
            }
            std::vector<std::string> parts = pending.folder;
            parts.push_back(pending.leaf);
            journal.push_back({pending.temp, pending.inode, joined(parts, parts.size())});
        }
        // From here a command killed during the renames is finished by the
        // next one, from the journal.
        if (const int error = staging_.writeJournal(journal)) {
            failWithErrno(error);
        }
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            try {
                place(i);
            } catch (...) {
                staging_.markUndo();
                for (std::size_t j = i + 1; j-- > 0;) {
                    unplace(pending_[j]);
                }
                throw;
            }
        }
        committed_ = true;
        // The new names on disk before the replaced files (in the staging
        // folder) go.
        if (each) {
            std::set<int> folders;
            for (const Pending& pending : pending_) {
                folders.insert(folderFd(pending.folder, pending.folder.size(), false, cache_));
            }
            for (const int folder : folders) {
                ::fsync(folder);
            }
        } else {
            ::syncfs(root_);
        }
        pending_.clear();
    }

  private:
    using FileId = std::pair<dev_t, ino_t>;
    // Up to this many new files are flushed one by one.
    static constexpr std::size_t kFlushEachUpTo = 32;
    // The new files still open, while no more than kFlushEachUpTo.
    std::vector<Fd> written_;
    struct Pending {
        std::vector<std::string> folder;
        std::string temp;  // its name in the staging folder
        ino_t inode = 0;
        std::string leaf;
        std::string name;       // the entry's, for warnings
        std::size_t index = 0;  // the entry's place in the archive
        bool existed = false;   // a file of the final name was there before
    };

    // Files and folders this archive made, by identity: another name that
    // leads to one of them is a name the disk takes for the same.
    void remember(const struct stat& info, const std::string& name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        made_[{info.st_dev, info.st_ino}] = name;
    }
    std::optional<std::string> ours(const struct stat& info) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto it = made_.find({info.st_dev, info.st_ino});
        return it == made_.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    [[noreturn]] void collision(const std::string& first, const std::string& second) {
        warn(request_, "Names the same file on this disk: " + first + " and " + second);
        throw ExtractError{code::kSkipped};
    }

    void place(std::size_t i) {
        const Pending& pending = pending_[i];
        const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
        const int error =
            placeStaged(staging_.fd(), pending.temp, folder, pending.leaf, pending.existed);
        if (error == 0) {
            return;
        }
        if (error != EEXIST || pending.existed) {
            failWithErrno(error);
        }
        // The free name was taken meanwhile: by an earlier entry, on a disk
        // that does not tell the two names apart.
        struct stat info {};
        if (::fstatat(folder, pending.leaf.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (const auto other = ours(info)) {
                collision(*other, pending.name);
            }
        }
        // A disk that gives each name an identity of its own (FUSE).
        for (std::size_t j = 0; j < i; ++j) {
            if (pending_[j].folder == pending.folder &&
                ::strcasecmp(pending_[j].leaf.c_str(), pending.leaf.c_str()) == 0) {
                collision(pending_[j].name, pending.name);
            }
        }
        throw ExtractError{code::kCreateOutputFailed};
    }

    // Undoes place(), whichever step it reached: the old file back under its
    // name, the new one back in the staging folder.
    void unplace(const Pending& pending) noexcept {
        try {
            const int folder = folderFd(pending.folder, pending.folder.size(), false, cache_);
            if (!restoreStaged(staging_.fd(), pending.temp, staging_.device(), pending.inode,
                               folder, pending.leaf)) {
                warn(request_, "Could not restore " + pending.name + ": " + std::strerror(errno));
                restoreFailed_ = true;
            }
        } catch (...) {
            warn(request_, "Could not restore " + pending.name);
            restoreFailed_ = true;
        }
    }

    // The folder made of the first `count` parts, opened without following a
    // symbolic link at any step. The last folder opened stays open: entries
    // usually come folder by folder.
    int folderFd(const std::vector<std::string>& parts, std::size_t count, bool create,
                 FolderCache& cache) {
        if (count == 0) {
            return root_;
        }
        const std::string path = joined(parts, count);
        if (cache.fd.valid() && cache.path == path) {
            return cache.fd.get();
        }
        cache.fd.reset();
        Fd current;
        int at = root_;
        for (std::size_t i = 0; i < count; ++i) {
            const char* name = parts[i].c_str();
            int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            bool made = false;
            if (fd < 0 && errno == ENOENT && create) {
                if (::mkdirat(at, name, 0755) == 0) {
                    made = true;
                    const std::lock_guard<std::mutex> lock(mutex_);
                    createdFolders_.push_back(joined(parts, i + 1));
                } else if (errno != EEXIST) {
                    failWithErrno(errno);
                }
                fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            struct stat info {};
            if (made && fd >= 0 && ::fstat(fd, &info) == 0) {
                remember(info, joined(parts, i + 1) + "/");
            }
            // Listed for the next command, should this one be killed before
            // its commit.
            if (made) {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (const int error = staging_.recordFolder(joined(parts, i + 1))) {
                    if (fd >= 0) {
                        ::close(fd);
                    }
                    failWithErrno(error);
                }
            }
            if (fd < 0) {
                // A symbolic link or a file where a folder should be.
                failWithErrno(errno == ELOOP ? ENOTDIR : errno);
            }
            current.reset(fd);
            at = fd;
        }
        cache.fd = std::move(current);
        cache.path = path;
        return cache.fd.get();
    }

    static void writeAll(int fd, const char* data, std::size_t size, la_int64_t offset) {
        while (size > 0) {
            const ssize_t n = ::pwrite(fd, data, size, static_cast<off_t>(offset));
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                failWithErrno(errno);
            }
            data += n;
            size -= static_cast<std::size_t>(n);
            offset += n;
        }
    }

    void rollback() noexcept {
        // A replaced file that could not be put back waits in the staging
        // folder, whose journal has the next command put it back.
        if (restoreFailed_) {
            staging_.keep();
        }
        cache_.fd.reset();
        cache_.path.clear();
        for (auto it = createdFolders_.rbegin(); it != createdFolders_.rend(); ++it) {
            const std::string& path = *it;
            const std::size_t slash = path.rfind('/');
            const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
            std::vector<std::string> parent;
            if (slash != std::string::npos) {
                std::string_view rest(path.data(), slash);
                while (!rest.empty()) {
                    const std::size_t next = rest.find('/');
                    parent.emplace_back(rest.substr(0, next));
                    rest =
                        next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
                }
            }
            try {
                const int folder = folderFd(parent, parent.size(), false, cache_);
                // Only an empty folder goes: whatever else appeared stays.
                ::unlinkat(folder, leaf.c_str(), AT_REMOVEDIR);
            } catch (...) {
            }
        }
    }

    int root_;
    const ExtractRequest& request_;
    StagingFolder& staging_;
    FolderCache cache_;  // the calling thread's
    std::mutex mutex_;   // guards the three below while readers write
    std::vector<std::string> createdFolders_;
    std::vector<Pending> pending_;
    std::map<FileId, std::string> made_;
    bool committed_ = false;
    bool restoreFailed_ = false;
};

// One reader's pass: goes through every header, checks it against the plan
// and writes the files given to `worker`.
void writeShare(const ExtractRequest& request, Source source, const std::vector<PlannedEntry>& plan,
                const std::vector<const DirectoryEntry*>& direct,
                const std::vector<unsigned>& owner, unsigned worker, Writer& writer,
                FirstFailure& failure, locale_t names) {
    // Names are converted under the caller's character type, in every reader.
    const locale_t previous = names != static_cast<locale_t>(0) ? uselocale(names) : nullptr;
    std::size_t index = 0;
    try {
        ArchivePtr a = openArchive(source, request);
        FolderCache cache;
        Progress progress(request, failure);
        for (;;) {
            if (failure.stop.load(std::memory_order_relaxed)) {
                break;
            }
            archive_entry* entry = nullptr;
            const int status = archive_read_next_header(a.get(), &entry);
            if (status == ARCHIVE_EOF) {
                break;
            }
            if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
                throw ExtractError{classifyArchiveError(a.get(), ReadStage::Header, false)};
            }
            // This reading must meet the entries the first one checked.
            const char* name = entryName(entry);
            if (index >= plan.size() || name == nullptr || plan[index].name != name) {
                throw ExtractError{code::kStructureInvalid};
            }
            const std::size_t current = index++;
            if (owner[current] == worker) {
                DirectRead read;
                if (direct[current] != nullptr) {
                    read = {source.fd, static_cast<std::uint64_t>(source.size), &*request.password,
                            direct[current]};
                }
                writer.writeFile(a.get(), entry, plan[current], cache, failure.stop, progress,
                                 read);
            }
        }
        if (!failure.stop.load() && index != plan.size()) {
            throw ExtractError{code::kStructureInvalid};
        }
    } catch (const ExtractError& error) {
        failure.record(index, error.code);
    } catch (const Stopped&) {
    } catch (const std::bad_alloc&) {
        failure.record(index, code::kOutOfMemory);
    } catch (...) {
        failure.record(index, code::kStructureInvalid);
    }
    if (previous != nullptr) {
        uselocale(previous);
    }
}

bool isAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// The encrypted entries we read ourselves. libarchive goes through the entries in
// the order of their local headers; the central directory, put in that
// order, must then meet the plan entry for entry (count, name, size), or
// libarchive reads everything itself.
std::vector<const DirectoryEntry*> directReads(const std::vector<PlannedEntry>& plan,
                                               std::vector<DirectoryEntry>& directory,
                                               const ExtractRequest& request) {
    std::vector<const DirectoryEntry*> direct(plan.size(), nullptr);
    if (!request.password || request.password->empty() || directory.size() != plan.size()) {
        return direct;
    }
    std::stable_sort(directory.begin(), directory.end(),
                     [](const DirectoryEntry& x, const DirectoryEntry& y) {
                         return x.localOffset < y.localOffset;
                     });
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const DirectoryEntry& entry = directory[i];
        const bool sameName =
            ((entry.flags & 0x800) != 0 || isAscii(entry.name)) && entry.name == plan[i].name;
        if (!sameName || (i > 0 && entry.localOffset == directory[i - 1].localOffset)) {
            return std::vector<const DirectoryEntry*>(plan.size(), nullptr);
        }
        if (plan[i].kind == Kind::File && isDirectEntry(entry) &&
            static_cast<std::uint64_t>(plan[i].size) == entry.size) {
            direct[i] = &entry;
        }
    }
    return direct;
}

std::int32_t extract(const ExtractRequest& request) {
    // Non-blocking, so a named pipe of an archive's name is refused below
    // instead of waiting forever for a writer; reads of a file are unaffected.
    Fd archiveFd(::open(request.archive.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!archiveFd.valid()) {
        return errno == ENOENT || errno == ENOTDIR ? code::kFileNotFound : code::kOpenArchiveFailed;
    }
    struct stat info {};
    if (::fstat(archiveFd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return code::kOpenArchiveFailed;
    }
    std::vector<DirectoryEntry> directory;
    switch (scanCentralDirectory(archiveFd.get(), static_cast<std::uint64_t>(info.st_size),
                                 &directory)) {
        case DirectoryState::Ok:
            break;
        case DirectoryState::Empty:
            return code::kNothingToExtract;
        case DirectoryState::NoEndRecord: {
            // A file that starts like a zip but has lost its end was cut short.
            unsigned char start[4] = {};
            const bool zipStart =
                ::pread(archiveFd.get(), start, 4, 0) == 4 && std::memcmp(start, "PK\3\4", 4) == 0;
            return zipStart ? code::kUnexpectedEnd : code::kOpenArchiveFailed;
        }
        case DirectoryState::Damaged:
        case DirectoryState::NulInName:
            return code::kStructureInvalid;
    }
    if (dataOverlaps(archiveFd.get(), static_cast<std::uint64_t>(info.st_size), directory)) {
        return code::kStructureInvalid;
    }
    // What no password opens: strong encryption, and under AES a method
    // other than stored or deflated. A wrong password is no answer there.
    for (const DirectoryEntry& entry : directory) {
        const bool strong = (entry.flags & 1) != 0 && (entry.flags & 0x40) != 0;
        const bool aesUnread = entry.method == 99 && entry.aesMethod != 0 && entry.aesMethod != 8;
        if ((strong || aesUnread) && matchesMask(request.itemMask, entry.name.c_str())) {
            return code::kUnknownCompression;
        }
    }

    Fd destination(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!destination.valid()) {
        return codeForErrno(errno);
    }

    const Source source{archiveFd.get(), static_cast<std::int64_t>(info.st_size)};
    Source planSource = source;
    const std::vector<PlannedEntry> plan = planArchive(planSource, request);
    bool anySelected = false;
    for (const PlannedEntry& planned : plan) {
        anySelected = anySelected || planned.selected;
    }
    if (!anySelected) {
        return code::kNothingToExtract;
    }
    std::uint64_t announced = 0;
    std::vector<std::string> replacing;
    for (const PlannedEntry& planned : plan) {
        if (!planned.selected || planned.kind != Kind::File) {
            continue;
        }
        // Sizes past what a file offset can hold say the archive is damaged.
        if (__builtin_add_overflow(announced, planned.size, &announced) ||
            announced > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return code::kStructureInvalid;
        }
        // A downloaded archive still waiting for its turn is never replaced;
        // the disk decides whether a name is its name.
        struct stat existing {};
        if (planned.parts.size() == 1 &&
            fnmatch("QLM*.ZIP", planned.name.c_str(), FNM_CASEFOLD) == 0 &&
            ::fstatat(destination.get(), planned.parts[0].c_str(), &existing,
                      AT_SYMLINK_NOFOLLOW) == 0) {
            replacing.push_back(planned.name);
        }
    }
    if (!replacing.empty()) {
        for (const std::string& name : replacing) {
            warn(request, "Would replace a downloaded archive: " + name);
        }
        return code::kSkipped;
    }
    // What cannot fit fails before anything is written. Some FUSE and
    // network file systems report no size at all (no blocks): their free
    // count says nothing, and a write that finds no room still fails.
    struct statvfs space {};
    std::uint64_t free = 0;
    if (::fstatvfs(destination.get(), &space) == 0 && space.f_blocks != 0 &&
        !__builtin_mul_overflow(std::uint64_t{space.f_bavail}, std::uint64_t{space.f_frsize},
                                &free) &&
        announced > free) {
        return code::kDiskFull;
    }
    if (announceTotal(request, announced)) {
        return code::kCancelled;
    }

    // Every file of the archive is written in a staging folder of its own
    // at the top of the destination, which goes when the archive is done.
    StagingFolder staging;
    if (const int error = staging.create(destination.get(), kUnzipTempPrefix)) {
        failWithErrno(error);
    }
    // Folders first, in the archive's order; then the files, shared out
    // among the readers by size.
    Writer writer(destination.get(), request, staging);
    std::vector<std::size_t> files;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const PlannedEntry& planned = plan[i];
        if (!planned.selected) {
            continue;
        }
        switch (planned.kind) {
            case Kind::Folder:
                writer.makeFolder(planned.parts, planned.parts.size());
                break;
            case Kind::File:
                writer.makeFolder(planned.parts, planned.parts.size() - 1);
                files.push_back(i);
                break;
            case Kind::Skipped:
                warn(request, "Not extracted (link or special file): " + planned.name);
                break;
        }
    }
    unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxWorkers);
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, files.size()));
    if (announced < kParallelBytes || workers == 0) {
        workers = 1;
    }
    // Largest first, each to the reader with the least so far.
    constexpr unsigned kNobody = ~0u;
    std::vector<unsigned> owner(plan.size(), kNobody);
    std::sort(files.begin(), files.end(),
              [&plan](std::size_t x, std::size_t y) { return plan[x].size > plan[y].size; });
    std::vector<std::uint64_t> load(workers, 0);
    for (const std::size_t i : files) {
        const auto least =
            static_cast<unsigned>(std::min_element(load.begin(), load.end()) - load.begin());
        owner[i] = least;
        // A small file still costs a file. Sizes already add up without
        // overflow; so many files would not.
        if (__builtin_add_overflow(load[least], plan[i].size + 4096, &load[least])) {
            return code::kStructureInvalid;
        }
    }
    const std::vector<const DirectoryEntry*> direct = directReads(plan, directory, request);
    FirstFailure failure;
    const locale_t names = uselocale(static_cast<locale_t>(0));
    {
        std::vector<std::thread> threads;
        try {
            for (unsigned worker = 1; worker < workers; ++worker) {
                threads.emplace_back(writeShare, std::cref(request), source, std::cref(plan),
                                     std::cref(direct), std::cref(owner), worker, std::ref(writer),
                                     std::ref(failure), names);
            }
        } catch (...) {
            // No thread for a share: the readers already running stop.
            failure.record(0, code::kOutOfMemory);
        }
        if (!failure.stop.load()) {
            writeShare(request, source, plan, direct, owner, 0, writer, failure,
                       static_cast<locale_t>(0));
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    }
    if (const auto failed = failure.code()) {
        throw ExtractError{*failed};
    }
    writer.commit();
    return code::kOk;
}

}  // namespace

std::int32_t extractArchive(const ExtractRequest& request) {
    try {
        return extract(request);
    } catch (const ExtractError& error) {
        return error.code;
    }
}

}  // namespace tyq::unzip::lib
