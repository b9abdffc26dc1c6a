#pragma once

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "download/ZipListing.h"

namespace tyq::download {

// The state file's name, in the state folder.
inline constexpr char kCollectStateFileName[] = "collected";

// What became of a file the last time it was fetched: its work done (in
// place; an archive to extract once extracted), in place but its archive
// not yet extracted, or not fetched.
enum class FileWork { Done, Waiting, Failed };

struct CollectedFile {
    ListedFile file;
    std::time_t when = 0;
    bool ok = false;  // its work is done
    // In place, its extraction still to come: not fetched again, and taken
    // for done once extracted.
    bool waiting = false;
};

// The last collection, for Setup to show.
struct LastRun {
    std::time_t when = 0;
    int newFiles = 0;
    std::string ended;  // how it ended, in a few words
};

// Why the record could not be kept: the errno and the words.
struct StateFailure {
    int error = 0;
    std::string text;
};

// What the program has fetched from the mailbox, so a collection fetches
// only what is new: a small text file in the state folder at mode 0600. Each
// file's line is added as its work is done, so a kill loses at most the file
// under way; a later line of a name replaces an earlier one, and the whole
// is rewritten atomically at the end of a run. A download in the window
// records the same, so the next collection does not fetch again what the
// window just fetched.
class CollectState {
  public:
    explicit CollectState(std::filesystem::path folder);
    // $XDG_STATE_HOME/tyqlmftp, else ~/.local/state/tyqlmftp.
    static std::filesystem::path defaultFolder();

    // Reads the file; a missing one is an empty record. Nothing, or why not.
    std::optional<std::string> load();
    // Writes the file whole (and its folder, 0700); nothing, or why not.
    std::optional<StateFailure> save() const;
    // Whether a line can be added to the file: made (empty) when missing.
    std::optional<StateFailure> writable() const;

    // The listed file differs from what was last fetched under its name (or
    // that fetch failed): name, size and, where both tell one, time.
    bool isNew(const ListedFile& listed) const;
    void record(const ListedFile& file, bool ok, std::time_t when);
    // Records the file's work and adds its line to the file at once.
    std::optional<StateFailure> append(const ListedFile& file, FileWork work, std::time_t when);
    // The archive's extraction is done: a waiting entry of its name becomes
    // done, in memory and in the file. Nothing when none waits.
    std::optional<StateFailure> extracted(const std::string& name, std::time_t when);
    // A line was added since the file was read.
    bool appended() const noexcept { return appended_; }
    // Forgets the files the mailbox no longer lists.
    void keepOnly(const std::vector<std::string>& listed);
    void recordRun(const LastRun& run) { last_ = run; }
    const std::optional<LastRun>& lastRun() const noexcept { return last_; }
    const std::vector<CollectedFile>& files() const noexcept { return files_; }
    std::filesystem::path file() const { return folder_ / kCollectStateFileName; }

  private:
    void put(const CollectedFile& entry);
    std::optional<StateFailure> makeFolder() const;
    std::optional<StateFailure> addLine(const CollectedFile& entry) const;

    std::filesystem::path folder_;
    std::vector<CollectedFile> files_;
    std::unordered_map<std::string, std::size_t> index_;  // name -> files_
    std::optional<LastRun> last_;
    bool appended_ = false;
};

}  // namespace tyq::download
