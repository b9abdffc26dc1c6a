#include "download/CollectState.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/PrivateFile.h"
#include "download/TransferJob.h"
#include "download/ftp/Listing.h"

namespace tyq::download {
namespace {

constexpr std::size_t kMaxStateFile = 4 * 1024 * 1024;

// A field of a line: every byte but the separators, the escape itself and
// control bytes as they are; those as "%XX", so any name a server lists
// comes back the same.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '%') {
            static constexpr char kHex[] = "0123456789ABCDEF";
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescaped(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> fields(const std::string& line) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const auto tab = line.find('\t', start);
        out.push_back(unescaped(line.substr(start, tab - start)));
        if (tab == std::string::npos) {
            return out;
        }
        start = tab + 1;
    }
}

long long number(const std::string& text) {
    return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

CollectState::CollectState(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path CollectState::defaultFolder() {
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state == '/') {
        return std::filesystem::path(state) / "tyqlmftp";
    }
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home != nullptr ? home : "") / ".local/state/tyqlmftp";
}

std::optional<std::string> CollectState::load() {
    files_.clear();
    last_.reset();
    const auto read = readRegularFile(file(), kMaxStateFile);
    if (read.error == ENOENT) {
        return std::nullopt;
    }
    if (!read.ok()) {
        return "Cannot read " + file().string() + ": " + read.failure();
    }
    std::istringstream lines(read.text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto f = fields(line);
        // file NAME SIZE MODIFIED WHEN OK; run WHEN NEW ENDED
        if (f[0] == "file" && f.size() >= 6) {
            files_.push_back({{f[1], number(f[2]), f[3]}, number(f[4]), f[5] == "ok"});
        } else if (f[0] == "run" && f.size() >= 4) {
            last_ = LastRun{static_cast<std::time_t>(number(f[1])), static_cast<int>(number(f[2])),
                            f[3]};
        }
    }
    return std::nullopt;
}

std::optional<std::string> CollectState::save() const {
    std::string text;
    for (const auto& c : files_) {
        text += "file\t" + escaped(c.file.name) + "\t" + std::to_string(c.file.size) + "\t" +
                escaped(c.file.modified) + "\t" + std::to_string(c.when) + "\t" +
                (c.ok ? "ok" : "failed") + "\n";
    }
    if (last_) {
        text += "run\t" + std::to_string(last_->when) + "\t" + std::to_string(last_->newFiles) +
                "\t" + escaped(last_->ended) + "\n";
    }
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        return "Cannot create " + folder_.string() + ": " + error.message();
    }
    ::chmod(folder_.c_str(), 0700);
    if (const int failure = replacePrivateFile(file(), text, ".collected-"); failure != 0) {
        return "Cannot save " + file().string() + ": " + std::strerror(failure);
    }
    return std::nullopt;
}

bool CollectState::isNew(const ListedFile& listed) const {
    const auto found = std::ranges::find_if(
        files_, [&](const CollectedFile& c) { return c.file.name == listed.name; });
    if (found == files_.end() || !found->ok) {
        return true;
    }
    const auto& known = found->file;
    if (known.size != listed.size) {
        return true;
    }
    return !known.modified.empty() && !listed.modified.empty() &&
           !ftp::sameTime(known.modified, listed.modified);
}

void CollectState::record(const ListedFile& file, bool ok, std::time_t when) {
    const auto found = std::ranges::find_if(
        files_, [&](const CollectedFile& c) { return c.file.name == file.name; });
    if (found != files_.end()) {
        *found = {file, when, ok};
    } else {
        files_.push_back({file, when, ok});
    }
}

ListedFile listedFile(const ZipListing& listing, std::size_t item) {
    return {listing.names.at(item), listing.sizeAt(item), listing.modifiedAt(item)};
}

std::optional<std::string> recordCollected(const std::filesystem::path& stateFolder,
                                           const TransferOutcome& outcome, std::time_t when) {
    if (outcome.arrived.empty() && outcome.failed.empty()) {
        return std::nullopt;
    }
    CollectState state(stateFolder);
    // An unreadable record is started again rather than lost for good.
    static_cast<void>(state.load());
    for (const auto& file : outcome.arrived) {
        state.record(listedFile(outcome.listing, file.item), true, when);
    }
    for (const auto& file : outcome.failed) {
        state.record(listedFile(outcome.listing, file.item), false, when);
    }
    return state.save();
}

}  // namespace tyq::download
