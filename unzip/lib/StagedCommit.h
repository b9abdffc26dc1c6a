#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/Fd.h"
#include "common/StagingFolder.h"
#include "common/TempFile.h"
#include "unzip/lib/ExtractPlan.h"

namespace tyq::unzip::lib {

// How an archive's new files are made durable: their data before the first
// of them takes its final name, their names before the staging folder (and
// then the archive) may go. Chosen once, from the plan, before anything is
// written.
struct FlushPolicy {
    enum class Data {
        // Each new file flushed on its own, kept open until then: cheapest
        // for a few files.
        EachFile,
        // One flush of the whole file system: for many files one journal
        // commit instead of one each, though it waits for others' data too.
        FileSystem,
    };
    Data data = Data::FileSystem;
    // A file's write-back is started every this many bytes as it is written,
    // and at its end, so that the disk works while the archive is still
    // being read and the flush finds little left to write.
    std::uint64_t writeBackEvery = 0;
    // The names are made durable by flushing each folder that took one:
    // one journal commit, without waiting for anyone else's data.
};

FlushPolicy flushPolicyFor(std::size_t files);

// The folder a reader wrote into last, kept open: entries usually come
// folder by folder. One per reader.
struct FolderCache {
    Fd fd;
    std::string path;
    // Where the reader makes its new files, beside the other readers': a
    // folder takes one new file at a time, and on some disks that takes a
    // millisecond. Each file moves into the staging folder once written.
    Fd nursery;
};

// Owns what an archive puts in the destination: its new folders, its files
// staged in the staging folder, and their commit. Nothing of the folder is
// replaced until commit(), which runs only when every file is verified; on
// any failure before or during it, the files replaced so far are put back
// and the folders this archive created go (the staging folder goes with
// what is in it). Several readers may stage files at once.
class StagedCommit {
  public:
    // `readers`: how many stage files at once.
    StagedCommit(int root, const ExtractRequest& request, StagingFolder& staging,
                 FlushPolicy policy, unsigned readers = 1)
        : root_(root),
          request_(request),
          staging_(staging),
          policy_(policy),
          nurseries_(readers > 1) {}
    ~StagedCommit();
    StagedCommit(const StagedCommit&) = delete;
    StagedCommit& operator=(const StagedCommit&) = delete;

    const FlushPolicy& policy() const { return policy_; }

    void makeFolder(const std::vector<std::string>& parts, std::size_t count);

    // A new staged file for the entry, once its final name has been looked
    // at: a name the disk cannot take, or a folder of ours in the way, fails
    // here before anything is written.
    TempFile stage(const PlannedEntry& planned, mode_t mode, FolderCache& cache);
    // The entry's data is in the file and verified: it waits for the commit.
    void keep(const PlannedEntry& planned, TempFile file);

    // Makes the new files durable, then gives them their final names.
    void commit();

  private:
    using FileId = std::pair<dev_t, ino_t>;
    struct Pending {
        std::vector<std::string> folder;
        std::string leaf;
        std::string name;       // the entry's, for warnings
        std::size_t index = 0;  // the entry's place in the archive
        bool existed = false;   // a file of the final name was there before
        TempFile file;          // in the staging folder, until the journal has it
        std::string temp;       // its name there
        ino_t inode = 0;
        // The file of the final name it replaces, as found before the
        // journal was written.
        dev_t replacedDevice = 0;
        ino_t replacedInode = 0;
    };

    // The folder the reader makes its files in.
    int nursery(FolderCache& cache);
    void flushFiles();
    void flushNames();
    std::vector<StagedEntry> checkFinalNames();
    void remember(dev_t device, ino_t inode, const std::string& name);
    std::optional<std::string> ours(const struct stat& info);
    [[noreturn]] void collision(const std::string& first, const std::string& second);
    void place(std::size_t i);
    void unplace(const Pending& pending) noexcept;
    int folderFd(const std::vector<std::string>& parts, std::size_t count, bool create,
                 FolderCache& cache);
    void rollback() noexcept;

    int root_;
    const ExtractRequest& request_;
    StagingFolder& staging_;
    const FlushPolicy policy_;
    const bool nurseries_;
    FolderCache cache_;  // the calling thread's
    std::mutex mutex_;   // guards the three below while readers stage files
    std::vector<std::string> createdFolders_;
    std::vector<Pending> pending_;
    std::map<FileId, std::string> made_;
    unsigned nurseryCount_ = 0;
    bool committed_ = false;
    bool restoreFailed_ = false;
};

}  // namespace tyq::unzip::lib
