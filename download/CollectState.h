#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tyq::download {

// The state file's name, in the state folder.
inline constexpr char kCollectStateFileName[] = "collected";

// A mailbox file as the listing told it. The time is the server's
// "YYYYMMDDHHMMSS" (MLSD modify or MDTM), empty when it told none.
struct ListedFile {
    std::string name;
    std::int64_t size = -1;
    std::string modified;
};

// What became of a file the last time it was fetched.
struct CollectedFile {
    ListedFile file;
    std::time_t when = 0;
    bool ok = false;
};

// The last collection, for Setup to show.
struct LastRun {
    std::time_t when = 0;
    int newFiles = 0;
    std::string ended;  // how it ended, in a few words
};

// What the program has fetched from the mailbox, so a collection fetches
// only what is new: a small text file in the state folder, replaced
// atomically at mode 0600. A download in the window records the same, so
// the next collection does not fetch again what the window just fetched.
class CollectState {
  public:
    explicit CollectState(std::filesystem::path folder);
    // $XDG_STATE_HOME/tyqlmftp, else ~/.local/state/tyqlmftp.
    static std::filesystem::path defaultFolder();

    // Reads the file; a missing one is an empty record. Nothing, or why not.
    std::optional<std::string> load();
    // Writes the file (and its folder, 0700); nothing, or why not.
    std::optional<std::string> save() const;

    // The listed file differs from what was last fetched under its name (or
    // that fetch failed): name, size and, where both tell one, time.
    bool isNew(const ListedFile& listed) const;
    void record(const ListedFile& file, bool ok, std::time_t when);
    void recordRun(const LastRun& run) { last_ = run; }
    const std::optional<LastRun>& lastRun() const noexcept { return last_; }
    const std::vector<CollectedFile>& files() const noexcept { return files_; }
    std::filesystem::path file() const { return folder_ / kCollectStateFileName; }

  private:
    std::filesystem::path folder_;
    std::vector<CollectedFile> files_;
    std::optional<LastRun> last_;
};

struct TransferOutcome;
struct ZipListing;

// A listed file as the listing told it.
ListedFile listedFile(const ZipListing& listing, std::size_t item);

// Records the files a download fetched, or failed to fetch, in the state
// folder's record. Nothing, or why it could not be kept.
std::optional<std::string> recordCollected(const std::filesystem::path& stateFolder,
                                           const TransferOutcome& outcome, std::time_t when);

}  // namespace tyq::download
