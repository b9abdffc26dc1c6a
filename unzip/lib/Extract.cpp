#include "unzip/lib/Extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "unzip/lib/ArchiveErrors.h"
#include "unzip/lib/EntryName.h"
#include "unzip/lib/Fd.h"
#include "unzip/lib/ZipDirectory.h"

namespace tyq::unzip::lib {
namespace {

constexpr std::size_t kReadBlock = 256 * 1024;
constexpr char kTempPrefix[] = ".tyunzip-";

// A failure that ends the archive, with its result code.
struct ExtractError {
    std::int32_t code;
};

[[noreturn]] void failWithErrno(int error) {
    throw ExtractError{codeForErrno(error)};
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
    request.callback(kWarningMessage, 0, 0, 0, text.c_str(), reply, nullptr);
}

bool matchesMask(const std::string& mask, const char* name) {
    if (mask.empty() || mask == "*.*" || mask == "*") {
        return true;
    }
    return fnmatch(mask.c_str(), name, FNM_CASEFOLD) == 0;
}

// Opens the archive for one pass over its entries. Only the reader that goes
// by the central directory is enabled: it knows every size and CRC up front.
ArchivePtr openArchive(int fd, const ExtractRequest& request) {
    if (::lseek(fd, 0, SEEK_SET) < 0) {
        throw ExtractError{code::kOpenArchiveFailed};
    }
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
    if (archive_read_open_fd(a.get(), fd, kReadBlock) != ARCHIVE_OK) {
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
// no name may be both a file and a folder.
std::vector<PlannedEntry> planArchive(int fd, const ExtractRequest& request) {
    ArchivePtr a = openArchive(fd, request);
    std::vector<PlannedEntry> plan;
    std::set<std::string> files;
    std::set<std::string> folders;
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
            if (planned.kind == Kind::File) {
                files.insert(joined(planned.parts, planned.parts.size()));
            }
        }
        plan.push_back(std::move(planned));
    }
    for (const std::string& file : files) {
        if (folders.count(file) != 0) {
            throw ExtractError{code::kStructureInvalid};
        }
    }
    return plan;
}

// Writes the archive's files beside their final names and puts them in place
// only when every one of them is verified. Until then no file of the folder
// is replaced; on any failure rollback removes the temporary files and the
// folders this archive created.
class Writer {
  public:
    explicit Writer(int root) : root_(root) {}
    ~Writer() {
        if (!committed_) {
            rollback();
        }
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void makeFolder(const std::vector<std::string>& parts) { folderFd(parts, parts.size(), true); }

    void writeFile(archive* a, archive_entry* entry, const PlannedEntry& planned) {
        const int folder = folderFd(planned.parts, planned.parts.size() - 1, true);
        const std::string& leaf = planned.parts.back();
        struct stat existing {};
        if (::fstatat(folder, leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
            if (S_ISDIR(existing.st_mode)) {
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
        Pending pending{planned.parts, {}, leaf};
        pending.folder.pop_back();
        Fd file = createTemp(folder, mode, pending.temp);
        pending_.push_back(pending);

        const bool encrypted = archive_entry_is_data_encrypted(entry) != 0;
        for (;;) {
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
            writeAll(file.get(), static_cast<const char*>(block), size, offset);
        }
        if (archive_entry_mtime_is_set(entry)) {
            const timespec times[2] = {
                {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)},
                {archive_entry_mtime(entry), archive_entry_mtime_nsec(entry)}};
            ::futimens(file.get(), times);
        }
        if (file.close() != 0) {
            failWithErrno(errno);
        }
    }

    // Flushes the new files, then gives them their final names.
    void commit() {
        if (::syncfs(root_) != 0) {
            failWithErrno(errno);
        }
        for (std::size_t i = 0; i < pending_.size(); ++i) {
            const Pending& pending = pending_[i];
            const int folder = folderFd(pending.folder, pending.folder.size(), false);
            if (::renameat(folder, pending.temp.c_str(), folder, pending.leaf.c_str()) != 0) {
                const int error = errno;
                // Files already renamed stay: they were verified. The rest go.
                pending_.erase(pending_.begin(), pending_.begin() + static_cast<long>(i));
                createdFolders_.clear();
                failWithErrno(error);
            }
        }
        pending_.clear();
        committed_ = true;
        ::syncfs(root_);
    }

  private:
    struct Pending {
        std::vector<std::string> folder;
        std::string temp;
        std::string leaf;
    };

    // The folder made of the first `count` parts, opened without following a
    // symbolic link at any step. The last folder opened stays open: entries
    // usually come folder by folder.
    int folderFd(const std::vector<std::string>& parts, std::size_t count, bool create) {
        if (count == 0) {
            return root_;
        }
        const std::string path = joined(parts, count);
        if (cached_.valid() && cachedPath_ == path) {
            return cached_.get();
        }
        cached_.reset();
        Fd current;
        int at = root_;
        for (std::size_t i = 0; i < count; ++i) {
            const char* name = parts[i].c_str();
            int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0 && errno == ENOENT && create) {
                if (::mkdirat(at, name, 0755) == 0) {
                    createdFolders_.push_back(joined(parts, i + 1));
                } else if (errno != EEXIST) {
                    failWithErrno(errno);
                }
                fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            }
            if (fd < 0) {
                // A symbolic link or a file where a folder should be.
                failWithErrno(errno == ELOOP ? ENOTDIR : errno);
            }
            current.reset(fd);
            at = fd;
        }
        cached_ = std::move(current);
        cachedPath_ = path;
        return cached_.get();
    }

    Fd createTemp(int folder, mode_t mode, std::string& name) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::uint64_t random = 0;
            if (::getrandom(&random, sizeof random, 0) != sizeof random) {
                random = static_cast<std::uint64_t>(::getpid()) * 1000003u + counter_;
            }
            ++counter_;
            char text[64];
            std::snprintf(text, sizeof text, "%s%016llx", kTempPrefix,
                          static_cast<unsigned long long>(random));
            const int fd =
                ::openat(folder, text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
            if (fd >= 0) {
                name = text;
                return Fd(fd);
            }
            if (errno != EEXIST) {
                failWithErrno(errno);
            }
        }
        throw ExtractError{code::kCreateOutputFailed};
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
        for (const Pending& pending : pending_) {
            try {
                const int folder = folderFd(pending.folder, pending.folder.size(), false);
                ::unlinkat(folder, pending.temp.c_str(), 0);
            } catch (...) {
                // The folder is gone or replaced: nothing of ours is left in it.
            }
        }
        cached_.reset();
        cachedPath_.clear();
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
                const int folder = folderFd(parent, parent.size(), false);
                // Only an empty folder goes: whatever else appeared stays.
                ::unlinkat(folder, leaf.c_str(), AT_REMOVEDIR);
            } catch (...) {
            }
        }
    }

    int root_;
    Fd cached_;
    std::string cachedPath_;
    std::vector<std::string> createdFolders_;
    std::vector<Pending> pending_;
    unsigned counter_ = 0;
    bool committed_ = false;
};

std::int32_t extract(const ExtractRequest& request) {
    Fd archiveFd(::open(request.archive.c_str(), O_RDONLY | O_CLOEXEC));
    if (!archiveFd.valid()) {
        return errno == ENOENT || errno == ENOTDIR ? code::kFileNotFound : code::kOpenArchiveFailed;
    }
    struct stat info {};
    if (::fstat(archiveFd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return code::kOpenArchiveFailed;
    }
    switch (scanCentralDirectory(archiveFd.get(), static_cast<std::uint64_t>(info.st_size))) {
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

    Fd destination(::open(request.destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!destination.valid()) {
        return codeForErrno(errno);
    }

    const std::vector<PlannedEntry> plan = planArchive(archiveFd.get(), request);
    bool anySelected = false;
    for (const PlannedEntry& planned : plan) {
        anySelected = anySelected || planned.selected;
    }
    if (!anySelected) {
        return code::kNothingToExtract;
    }

    Writer writer(destination.get());
    ArchivePtr a = openArchive(archiveFd.get(), request);
    std::size_t index = 0;
    for (;;) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF) {
            break;
        }
        if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
            throw ExtractError{classifyArchiveError(a.get(), ReadStage::Header, false)};
        }
        // The second reading must meet the entries the first one checked.
        const char* name = entryName(entry);
        if (index >= plan.size() || name == nullptr || plan[index].name != name) {
            throw ExtractError{code::kStructureInvalid};
        }
        const PlannedEntry& planned = plan[index++];
        if (!planned.selected) {
            continue;
        }
        switch (planned.kind) {
            case Kind::Folder:
                writer.makeFolder(planned.parts);
                break;
            case Kind::File:
                writer.writeFile(a.get(), entry, planned);
                break;
            case Kind::Skipped:
                warn(request, "Not extracted (link or special file): " + planned.name);
                break;
        }
    }
    if (index != plan.size()) {
        throw ExtractError{code::kStructureInvalid};
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
