#include "unzip/lib/EntryRead.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

#include "unzip/lib/ArchiveErrors.h"
#include "unzip/lib/DirectEntry.h"

namespace tyq::unzip::lib {
namespace {

// Bytes a reader writes between two progress messages: often enough for a
// stop to take effect at once, rarely enough to cost nothing.
constexpr std::uint64_t kProgressBatch = 1 << 20;

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

void writeAll(int fd, const char* data, std::size_t size, la_int64_t offset) {
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

// What one reader needs for one entry's data.
struct EntryData {
    archive* a;
    archive_entry* entry;
    const PlannedEntry& planned;
    const DirectoryEntry* direct;  // read by our own reader first, when set
    const Source& source;
    const std::string* password;
};

// Writes the entry's data into `fd`, verified: by our own reader when it
// can, else (or when that does not check out) through libarchive, which
// names the fault.
void readData(const EntryData& data, int fd, const std::atomic<bool>& stop, Progress& progress,
              std::uint64_t writeBackEvery) {
    // Bytes of this entry written and reported: when our own reader gives
    // the entry up, libarchive's second reading reports only what is new.
    std::uint64_t written = 0;
    std::uint64_t reported = 0;
    std::uint64_t writtenBack = 0;
    const auto count = [&](std::size_t size) {
        written += size;
        if (writeBackEvery != 0 && written >= writtenBack + writeBackEvery) {
            // Only started: the flush before the commit waits for it.
            ::sync_file_range(fd, static_cast<off_t>(writtenBack),
                              static_cast<off_t>(written - writtenBack), SYNC_FILE_RANGE_WRITE);
            writtenBack = written;
        }
        if (written > reported) {
            progress.add(written - reported);
            reported = written;
        }
    };
    bool done = false;
    if (data.direct != nullptr) {
        done = readDirectEntry(data.source.fd, static_cast<std::uint64_t>(data.source.size),
                               *data.direct, *data.password,
                               [&](const char* bytes, std::size_t size, std::uint64_t offset) {
                                   if (stop.load(std::memory_order_relaxed)) {
                                       throw Stopped{};
                                   }
                                   writeAll(fd, bytes, size, static_cast<la_int64_t>(offset));
                                   count(size);
                               });
        if (!done && ::ftruncate(fd, 0) != 0) {
            failWithErrno(errno);
        }
        written = 0;
        writtenBack = 0;
    }
    const bool encrypted = archive_entry_is_data_encrypted(data.entry) != 0;
    while (!done) {
        if (stop.load(std::memory_order_relaxed)) {
            throw Stopped{};
        }
        const void* block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int status = archive_read_data_block(data.a, &block, &size, &offset);
        if (status == ARCHIVE_EOF) {
            break;
        }
        // A warning here is a failed CRC or authentication check.
        if (status != ARCHIVE_OK) {
            throw ExtractError{classifyArchiveError(data.a, ReadStage::Data, encrypted)};
        }
        // More than the entry declared is damage, or a bomb: it stops here,
        // not when the disk is full.
        std::uint64_t end = 0;
        if (offset < 0 || __builtin_add_overflow(static_cast<std::uint64_t>(offset), size, &end) ||
            end > data.planned.size) {
            throw ExtractError{code::kBadCrc};
        }
        writeAll(fd, static_cast<const char*>(block), size, offset);
        count(size);
    }
}

void readFile(const EntryData& data, StagedCommit& commit, FolderCache& cache,
              const std::atomic<bool>& stop, Progress& progress) {
    mode_t mode = archive_entry_perm(data.entry) & 0777;  // never set-id or sticky
    if (mode == 0) {
        mode = 0644;
    }
    TempFile file = commit.stage(data.planned, mode, cache);
    readData(data, file.fd(), stop, progress, commit.policy().writeBackEvery);
    if (archive_entry_mtime_is_set(data.entry)) {
        const timespec times[2] = {
            {archive_entry_mtime(data.entry), archive_entry_mtime_nsec(data.entry)},
            {archive_entry_mtime(data.entry), archive_entry_mtime_nsec(data.entry)}};
        ::futimens(file.fd(), times);
    }
    commit.keep(data.planned, std::move(file));
    progress.send();
}

}  // namespace

void FirstFailure::record(std::size_t index, std::int32_t code) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!cancelled_ && (!code_ || index < index_)) {
        index_ = index;
        code_ = code;
    }
    stop = true;
}

void FirstFailure::cancel() {
    const std::lock_guard<std::mutex> lock(mutex_);
    cancelled_ = true;
    code_ = code::kCancelled;
    stop = true;
}

namespace {

// The next entry of a reading, which must be the one the first reading
// checked at `index`; nullptr at the archive's end.
archive_entry* nextPlanned(archive* a, const Plan& plan, std::size_t index) {
    archive_entry* entry = nullptr;
    const int status = archive_read_next_header(a, &entry);
    if (status == ARCHIVE_EOF) {
        return nullptr;
    }
    if (status != ARCHIVE_OK && status != ARCHIVE_WARN) {
        throw ExtractError{classifyArchiveError(a, ReadStage::Header, false)};
    }
    const char* name = entryName(entry);
    if (index >= plan.entries.size() || name == nullptr || plan.entries[index].name != name) {
        throw ExtractError{code::kStructureInvalid};
    }
    return entry;
}

}  // namespace

void readShare(const ExtractRequest& request, Source source, const Plan& plan, unsigned reader,
               StagedCommit& commit, FirstFailure& failure, locale_t names) {
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
            archive_entry* entry = nextPlanned(a.get(), plan, index);
            if (entry == nullptr) {
                break;
            }
            const std::size_t current = index++;
            if (plan.owner[current] == reader) {
                const EntryData data{a.get(),
                                     entry,
                                     plan.entries[current],
                                     plan.direct[current],
                                     source,
                                     request.password ? &*request.password : nullptr};
                readFile(data, commit, cache, failure.stop, progress);
            }
        }
        if (!failure.stop.load() && index != plan.entries.size()) {
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

}  // namespace tyq::unzip::lib
