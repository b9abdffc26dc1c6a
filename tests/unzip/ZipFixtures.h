#pragma once

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>

#include "support/TempDir.h"

namespace tyq::test {

inline std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

inline void runOrThrow(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
        throw std::runtime_error("failed: " + command);
    }
}

// Files of a folder tree, written by the test: relative name -> contents.
using Tree = std::map<std::string, std::string>;

inline void writeTree(const std::filesystem::path& root, const Tree& tree) {
    for (const auto& [name, contents] : tree) {
        std::filesystem::create_directories((root / name).parent_path());
        writeFile(root / name, contents);
    }
}

// Every entry below root: files with their contents, folders as "<dir>",
// symbolic links as "-> target".
inline Tree readTree(const std::filesystem::path& root) {
    Tree tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        const std::string name = std::filesystem::relative(entry.path(), root).string();
        if (entry.is_symlink()) {
            tree[name] = "-> " + std::filesystem::read_symlink(entry.path()).string();
        } else if (entry.is_directory()) {
            tree[name] = "<dir>";
        } else {
            tree[name] = readFile(entry.path());
        }
    }
    return tree;
}

// The names of a tree as arguments, in name order: the archive keeps it.
inline std::string names(const Tree& tree) {
    std::string list;
    for (const auto& entry : tree) {
        list += ' ';
        list += quoted(entry.first);
    }
    return list;
}

// An archive of `tree` made by Info-ZIP zip, with extra options such as
// "-P secret" or "-0".
inline void makeZip(const std::filesystem::path& archive, const Tree& tree,
                    const std::string& options = "") {
    TempDir source;
    writeTree(source.path(), tree);
    runOrThrow("cd " + quoted(source.path().string()) + " && zip -q -X " + options + " " +
               quoted(archive.string()) + names(tree));
}

// An AES-256 archive of `tree` made by 7-Zip (AE-2 entries).
inline void make7zAes(const std::filesystem::path& archive, const Tree& tree,
                      const std::string& password) {
    TempDir source;
    writeTree(source.path(), tree);
    runOrThrow("cd " + quoted(source.path().string()) + " && 7zz a -bd -tzip -mem=AES256 -p" +
               quoted(password) + " " + quoted(archive.string()) + names(tree));
}

// An archive written by tests/tools/zip_craft.py from a JSON list of entries.
inline void craftZip(const std::filesystem::path& archive, const std::string& entriesJson) {
    runOrThrow("/usr/bin/python3 " + quoted(std::string(TYQ_TEST_TOOLS) + "/zip_craft.py") + " " +
               quoted(archive.string()) + " " + quoted(entriesJson));
}

// Flips one byte of a file at `offset` (counted from the end when negative).
inline void flipByte(const std::filesystem::path& file, long offset) {
    std::string bytes = readFile(file);
    const std::size_t at = offset >= 0 ? static_cast<std::size_t>(offset)
                                       : bytes.size() - static_cast<std::size_t>(-offset);
    bytes.at(at) = static_cast<char>(bytes.at(at) ^ 0x5A);
    writeFile(file, bytes);
}

}  // namespace tyq::test
