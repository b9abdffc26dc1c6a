#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The files a staging folder keeps about itself: written by the folder and
// its commit, read back by the sweep that finishes what a killed command left.
namespace tyq::staging {

// The commit's journal. Staged entries are named by digits alone, so they
// never meet this file or the others a staging folder keeps.
inline constexpr char kJournalName[] = "journal";
inline constexpr char kFirstJournalHeader[] = "tyqlmftp journal 1\n";
inline constexpr char kJournalHeader[] = "tyqlmftp journal 2\n";
inline constexpr char kJournalEnd[] = "end\n";

// The folder's record of its own identity (`info`), made once; and whether
// the record found names that very folder. 0 or an errno value.
int writeRecord(int staging, const struct stat& info);
bool recordNames(int staging, const struct stat& info);

// From here the commit is being undone, should it be cut short again; and
// whether it was. 0 or an errno value.
int markUndo(int staging);
bool undoMarked(int staging);

// The folders a commit made for its entries (paths relative to the
// Location), each added as made. 0 or an errno value.
int recordFolder(int staging, std::string_view path);
std::vector<std::string> recordedFolders(int staging);

// "<length>:<bytes>\n": any byte a path may hold.
void appendPath(std::string& out, std::string_view path);
bool readPath(std::string_view text, std::size_t& at, std::string& path);

// Removes a folder of ours with everything in it, never through a link and
// never into another file system; a mount point inside keeps it (and what
// is mounted) where it is.
bool removeTree(int parent, const char* name, dev_t device);

bool isOurs(const struct stat& info, dev_t device, ino_t inode);

}  // namespace tyq::staging
