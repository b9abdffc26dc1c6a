#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "common/Fd.h"
#include "download/ZipListing.h"

namespace tyq::download {

struct ZipListing;

// Files whose fetch was cut short wait here, at the top of the Location, to
// be resumed by a later run: on the Location's file system, so completing
// one is a rename. Hidden and matching neither "*.ZIP" nor "QLM*". Like a
// staging folder it is ours only when a record inside names it, but it is
// not swept with the staging folders: what it holds outlives a killed run.
inline constexpr char kPartialFolderName[] = ".tyqlmftp-partial";

class PartialStore;

// What a partial's record holds: its data file, that file's identity, and
// the mailbox file as listed when its fetch began.
struct PartialRecord {
    std::string data;  // its name in the folder (digits only)
    dev_t device = 0;
    ino_t inode = 0;
    // When it was made (ns), where the file system tells: a number freed
    // and given to a new file does not pass for it. 0 where it does not.
    std::uint64_t born = 0;
    ListedFile file;
};

// A mailbox file being fetched into the partial folder. Its record (which
// file, listed size and time, which data file) is written before its first
// byte, so even a kill leaves a partial the next run can trust. Dropped
// with its record when the object ends, unless kept or committed.
class PartialFile {
  public:
    PartialFile() = default;
    ~PartialFile();
    PartialFile(PartialFile&& other) noexcept;
    PartialFile& operator=(PartialFile&& other) noexcept;
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool valid() const noexcept { return store_ != nullptr; }
    // Open for writing at its end.
    int fd() const noexcept { return fd_; }
    // The bytes it held when claimed: where the fetch goes on from.
    std::int64_t offset() const noexcept { return offset_; }
    // Empties it to fetch the whole file after all. 0, or the errno value.
    int restart();
    // Left with its record when the object ends, for a later run.
    void keep() noexcept { kept_ = true; }
    // Closes it and gives it its final name, replacing a file there. 0, or
    // the errno value; on failure it is dropped.
    int commit(const std::filesystem::path& target);

  private:
    friend class PartialStore;
    void end() noexcept;

    PartialStore* store_ = nullptr;
    int fd_ = -1;
    PartialRecord record_;
    std::int64_t offset_ = 0;
    bool kept_ = false;
};

// The partial folder of one Location, for one run that holds its lock.
// Safe to claim from several connections at once.
class PartialStore {
  public:
    // Opens the folder (made when missing) and reads its records; nothing
    // where it cannot be had, or where a folder of that name is not ours
    // (no record naming it, another user's, a link, another file system).
    static std::unique_ptr<PartialStore> open(const std::filesystem::path& location);
    // Removes the folder once nothing waits in it.
    ~PartialStore();
    PartialStore(const PartialStore&) = delete;
    PartialStore& operator=(const PartialStore&) = delete;

    // Drops every partial whose mailbox file the listing no longer names,
    // or names with another size or time.
    void prune(const ZipListing& listing);
    // The partial to fetch `file` into: the one recorded for it when its
    // size and time are the same and it is still the very file we wrote (a
    // regular file, not a link, no longer than the file), else a new empty
    // one. Invalid when the file's size or time is unknown, when another
    // connection has it, or when none can be made.
    PartialFile claim(const ListedFile& file);
    // The bytes claim would go on from for `file`, or 0.
    std::int64_t held(const ListedFile& file);
    // The file is in place, fetched one way or another: nothing of it is
    // kept here, now or when a connection still at it lets go.
    void arrived(const std::string& name);

  private:
    friend class PartialFile;
    PartialStore(Fd location, Fd folder, dev_t device, ino_t inode);
    void load();
    void remove(const std::string& data) const;
    // A connection lets go of a partial: kept for a later fetch, or dropped.
    void settle(const PartialRecord& record, bool keep);
    PartialFile resume(const PartialRecord& record, const ListedFile& file);
    // The recorded data file, open for writing, when it is still the very
    // file we wrote and no longer than the listed file.
    int openRecorded(const PartialRecord& record, const ListedFile& file, std::int64_t& size) const;

    Fd location_;
    Fd folder_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::mutex mutex_;
    // What earlier runs, or connections of this one, left, by mailbox name.
    std::map<std::string, PartialRecord> records_;
    // Mailbox names a connection is fetching.
    std::set<std::string> busy_;
    // Mailbox names in place.
    std::set<std::string> arrived_;
};

}  // namespace tyq::download
