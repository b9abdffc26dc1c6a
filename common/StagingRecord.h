#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

// The files a staging folder keeps about itself: written by the folder and
// its commit, read back by the sweep that finishes what a killed command left.
namespace tyq::staging {

// The staging folder's record of its own identity, and its other files.
// Staged entries are named by digits alone, so they never meet these.
inline constexpr char kRecordName[] = "staging";
inline constexpr char kJournalName[] = "journal";
inline constexpr char kUndoName[] = "undo";
inline constexpr char kFoldersName[] = "folders";
inline constexpr char kFirstJournalHeader[] = "tyqlmftp journal 1\n";
inline constexpr char kJournalHeader[] = "tyqlmftp journal 2\n";
inline constexpr char kJournalEnd[] = "end\n";
inline constexpr std::size_t kMaxRecordBytes = 128;

// The record's text: the folder's own identity.
std::string recordText(const struct stat& info);

// "<length>:<bytes>\n": any byte a path may hold.
void appendPath(std::string& out, std::string_view path);
bool readPath(std::string_view text, std::size_t& at, std::string& path);

// Removes a folder of ours with everything in it, never through a link and
// never into another file system; a mount point inside keeps it (and what
// is mounted) where it is.
bool removeTree(int parent, const char* name, dev_t device);

bool isOurs(const struct stat& info, dev_t device, ino_t inode);

}  // namespace tyq::staging
