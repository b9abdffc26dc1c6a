// Any file in as an archive, extracted by "dunzip" into a folder that already
// holds a file: no crash, a known result code, nothing written outside the
// folder, and on failure the folder exactly as it was.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <string_view>

#include "WorkFolder.h"
#include "unzip/UnzipCommand.h"

extern "C" std::int32_t dunzip(tyq::unzip::UnzipCommand* command) noexcept;

namespace {

namespace fs = std::filesystem;
namespace code = tyq::unzip::code;

struct Folders {
    fs::path root;
    fs::path archive;      // root/in/QLM0001.ZIP
    fs::path destination;  // root/out
    fs::path outside;      // root/outside: must stay empty
};

const Folders& folders() {
    static const Folders f = [] {
        const fs::path root = tyq::fuzz::makeWorkFolder("dunzip");
        Folders made{root, {}, {}, {}};
        made.archive = made.root / "in" / "QLM0001.ZIP";
        made.destination = made.root / "out";
        made.outside = made.root / "outside";
        fs::create_directories(made.archive.parent_path());
        fs::create_directories(made.outside);
        return made;
    }();
    return f;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code error;
        fs::remove_all(folders().root, error);
    }
} cleanup;

void writeAll(const fs::path& file, const std::string& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every entry below root with its type, mode and (for files) contents.
std::map<std::string, std::string> snapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = fs::relative(it->path(), root).string();
        struct stat info {};
        ::lstat(it->path().c_str(), &info);
        std::string description = std::to_string(info.st_mode) + ":";
        if (S_ISREG(info.st_mode)) {
            description += readAll(it->path());
        } else if (S_ISLNK(info.st_mode)) {
            description += fs::read_symlink(it->path()).string();
        }
        tree[name] = description;
    }
    return tree;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "dunzip property broken: %s\n", what);
        std::abort();
    }
}

bool knownCode(std::int32_t result) {
    switch (result) {
        case code::kOk:
        case code::kUnexpectedEnd:
        case code::kStructureInvalid:
        case code::kOutOfMemory:
        case code::kNothingToExtract:
        case code::kCreateOutputFailed:
        case code::kOpenArchiveFailed:
        case code::kBadCrc:
        case code::kUnknownCompression:
        case code::kBadPassword:
        case code::kSkipped:
        case code::kDiskFull:
            return true;
        default:
            return false;
    }
}

// The library's temporary files: ".tyunzip-" and 16 hex digits. An archive may
// name an entry like that itself, but it cannot guess the random digits.
bool isTemporaryName(const std::string& leaf) {
    constexpr std::string_view prefix = ".tyunzip-";
    return leaf.size() == prefix.size() + 16 && leaf.starts_with(prefix) &&
           leaf.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

std::int32_t ignoreMessages(std::uint32_t, std::uint32_t, std::int32_t, std::int32_t, const char*,
                            char*, void*) {
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // An archive may inflate far beyond its size: cap every file we write, so
    // such an entry fails as an output error instead of filling memory.
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit cap{64u << 20, 64u << 20};
    ::setrlimit(RLIMIT_FSIZE, &cap);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Folders& f = folders();
    writeAll(f.archive, std::string(reinterpret_cast<const char*>(data), size));
    std::error_code error;
    fs::remove_all(f.destination, error);
    fs::create_directories(f.destination / "sub");
    writeAll(f.destination / "KEEP.TXT", "present before");
    writeAll(f.destination / "sub" / "QLM0001.TXT", "old contents");
    const auto before = snapshot(f.destination);

    const std::string archive = f.archive.string();
    const std::string destination = f.destination.string();
    tyq::unzip::UnzipCommand command{};
    command.recordSize = tyq::unzip::kUnzipCommandSize;
    command.operation = tyq::unzip::kExtractOperation;
    command.archiveName = archive.c_str();
    command.itemMask = "*.*";
    command.destination = destination.c_str();
    command.passwordGiven = 1;
    command.password = "secret";
    command.messageCallback = ignoreMessages;
    const std::int32_t result = dunzip(&command);

    // For comparing with other tools over a corpus: fuzz_dunzip -runs=1 FILE.
    if (std::getenv("TYQ_FUZZ_PRINT_RESULT") != nullptr) {
        std::fprintf(stderr, "dunzip result %d\n", static_cast<int>(result));
    }
    check(knownCode(result), "an unknown result code");
    check(fs::is_empty(f.outside), "something written outside the folder");
    check(readAll(f.archive).size() == size, "the archive changed");
    std::size_t rootEntries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(f.root)) {
        ++rootEntries;
    }
    check(rootEntries == 3, "something written beside the folder");
    const auto after = snapshot(f.destination);
    if (result != code::kOk) {
        check(after == before, "a failed extraction changed the folder");
    } else {
        for (const auto& [name, description] : after) {
            check(!isTemporaryName(fs::path(name).filename().string()),
                  "a temporary file left behind");
            const auto mode =
                static_cast<mode_t>(std::stoul(description.substr(0, description.find(':'))));
            check(!S_ISLNK(mode), "a symbolic link created");
            check((mode & 07000) == 0, "a set-id or sticky bit kept");
        }
    }
    return 0;
}
