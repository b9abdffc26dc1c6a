// Any settings file in, one value written: the value reads back as written,
// every other line of the file stays byte for byte, and every other key reads
// as it did before.

#include <fuzzer/FuzzedDataProvider.h>
#include <strings.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "WorkFolder.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"

namespace {

namespace fs = std::filesystem;
using tyq::settings::ProfileStore;

constexpr char kFile[] = "TYFTP.INI";
const char* const kSections[] = {tyq::settings::kSection, "qlmorvmail", "Other", ""};
const char* const kKeys[] = {"User", "Pass", "FileUnZipPass", "Local", "QLMHost",
                             "Port", "AOL",  "user",          "X"};

// Every write syncs the file: a folder in memory keeps the runs quick.
const fs::path& folder() {
    static const fs::path path = tyq::fuzz::makeWorkFolder("settings");
    return path;
}

struct Cleanup {
    ~Cleanup() {
        std::error_code error;
        fs::remove_all(folder(), error);
    }
} cleanup;

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Lines as the file holds them, the last one whether or not it ends in LF.
std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start));
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "settings property broken: %s\n", what);
        std::abort();
    }
}

// The new file is the old one with one line replaced, one line inserted, or a
// section header and a line added at the end.
bool onlyOneEntryChanged(const std::vector<std::string>& before,
                         const std::vector<std::string>& after) {
    std::size_t head = 0;
    while (head < before.size() && head < after.size() && before[head] == after[head]) {
        ++head;
    }
    std::size_t tail = 0;
    while (tail < before.size() - head && tail < after.size() - head &&
           before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
        ++tail;
    }
    const std::size_t removed = before.size() - head - tail;
    const std::size_t added = after.size() - head - tail;
    if (removed == 0 && added <= 1) {
        return true;  // a line inserted (or the same value written again)
    }
    if (removed == 1 && added == 1) {
        return true;  // a line replaced
    }
    return removed == 0 && added == 2 && tail == 0;  // a new section at the end
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const char* section = input.PickValueInArray(kSections);
    const char* key = input.PickValueInArray(kKeys);
    const std::string value = input.ConsumeRandomLengthString(255);
    const std::string file = input.ConsumeRemainingBytesAsString();

    const ProfileStore store(folder());
    const fs::path path = folder() / kFile;
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << file;
    }
    // Every other key of two sections as it reads before the write: the
    // written one's and one beside it.
    struct Read {
        const char* section;
        const char* key;
        std::string value;
        int number;
    };
    std::vector<Read> others;
    for (const char* s : {section, strcasecmp(section, "Other") == 0 ? "" : "Other"}) {
        for (const char* k : kKeys) {
            const bool same = strcasecmp(s, section) == 0 && strcasecmp(k, key) == 0;
            if (!same) {
                others.push_back(Read{s, k, store.getString(s, k, "\x01missing", 256, kFile),
                                      store.getInt(s, k, -7, kFile)});
            }
        }
    }

    check(store.writeString(section, key, value, kFile), "the write failed");

    const std::string written = readAll(path);
    check(store.getString(section, key, "\x01missing", 256, kFile) == value,
          "the value does not read back as written");
    check(store.getString(section, key, "", 256, "tyftp.ini") == value,
          "the value does not read back through another spelling of the name");
    check(onlyOneEntryChanged(lines(file), lines(written)), "another line changed");
    for (const Read& other : others) {
        check(store.getString(other.section, other.key, "\x01missing", 256, kFile) == other.value,
              "another key reads differently");
        check(store.getInt(other.section, other.key, -7, kFile) == other.number,
              "another number reads differently");
    }
    // Nothing else in the folder: no temporary file left behind.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder())) {
        ++entries;
    }
    check(entries == 1, "a file besides the settings file");
    return 0;
}
