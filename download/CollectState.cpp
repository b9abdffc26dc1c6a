#include "download/CollectState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "common/Fd.h"
#include "common/PercentEncoding.h"
#include "common/PrivateFile.h"
#include "common/SmallFiles.h"
#include "download/ftp/Listing.h"

namespace tyq::download {
namespace {

// Lines are added between rewrites: room for a large mailbox and a few runs.
constexpr std::size_t kMaxStateFile = 16 * 1024 * 1024;

// A field of a line: every byte but the separators, the escape itself and
// control bytes as they are; those as "%XX", so any name a server lists
// comes back the same.
std::string escaped(const std::string& text) {
    std::string out;
    appendPercentEncoded(
        out, text, [](unsigned char byte) { return byte >= 0x20 && byte != 0x7f && byte != '%'; });
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
    index_.clear();
    last_.reset();
    const auto read = readRecord(file(), kMaxStateFile);
    if (read.failure) {
        return read.failure;
    }
    std::istringstream lines(read.text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto f = fields(line);
        // file NAME SIZE MODIFIED WHEN OK; run WHEN NEW ENDED
        if (f[0] == "file" && f.size() >= 6) {
            put({{f[1], number(f[2]), f[3]}, number(f[4]), f[5] == "ok", f[5] == "waiting"});
        } else if (f[0] == "run" && f.size() >= 4) {
            last_ = LastRun{static_cast<std::time_t>(number(f[1])), static_cast<int>(number(f[2])),
                            f[3]};
        }
    }
    return std::nullopt;
}

namespace {

std::string line(const CollectedFile& c) {
    return "file\t" + escaped(c.file.name) + "\t" + std::to_string(c.file.size) + "\t" +
           escaped(c.file.modified) + "\t" + std::to_string(c.when) + "\t" +
           (c.ok        ? "ok"
            : c.waiting ? "waiting"
                        : "failed") +
           "\n";
}

StateFailure failure(const std::string& what, const std::filesystem::path& path, int error) {
    return {error, what + " " + path.string() + ": " + std::strerror(error)};
}

}  // namespace

void CollectState::put(const CollectedFile& entry) {
    const auto [at, added] = index_.try_emplace(entry.file.name, files_.size());
    if (added) {
        files_.push_back(entry);
    } else {
        files_[at->second] = entry;
    }
}

std::optional<StateFailure> CollectState::makeFolder() const {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);
    if (error) {
        return failure("Cannot create", folder_, error.value());
    }
    ::chmod(folder_.c_str(), 0700);
    return std::nullopt;
}

std::optional<StateFailure> CollectState::save() const {
    std::string text;
    for (const auto& c : files_) {
        text += line(c);
    }
    if (last_) {
        text += "run\t" + std::to_string(last_->when) + "\t" + std::to_string(last_->newFiles) +
                "\t" + escaped(last_->ended) + "\n";
    }
    if (auto made = makeFolder()) {
        return made;
    }
    if (const int failed = replacePrivateFile(file(), text, ".collected-"); failed != 0) {
        return failure("Cannot save", file(), failed);
    }
    return std::nullopt;
}

std::optional<StateFailure> CollectState::addLine(const CollectedFile& entry) const {
    if (auto made = makeFolder()) {
        return made;
    }
    // Without waiting: a FIFO in its place must not hold the collection.
    const Fd out(
        ::open(file().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0600));
    if (out.get() < 0) {
        return failure("Cannot save", file(), errno);
    }
    struct stat info {};
    if (::fstat(out.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        return failure("Cannot save", file(), EINVAL);
    }
    // On disk before the next file is fetched: a kill loses at most that one.
    if (const int failed = entry.file.name.empty() ? 0 : writeAll(out.get(), line(entry))) {
        return failure("Cannot save", file(), failed);
    }
    if (::fsync(out.get()) != 0) {
        return failure("Cannot save", file(), errno);
    }
    return std::nullopt;
}

std::optional<StateFailure> CollectState::writable() const {
    return addLine({});
}

bool CollectState::isNew(const ListedFile& listed) const {
    const auto found = index_.find(listed.name);
    if (found == index_.end()) {
        return true;
    }
    const auto& entry = files_[found->second];
    if (!entry.ok && !entry.waiting) {
        return true;
    }
    const auto& known = entry.file;
    if (known.size != listed.size) {
        return true;
    }
    return !known.modified.empty() && !listed.modified.empty() &&
           !ftp::sameTime(known.modified, listed.modified);
}

void CollectState::record(const ListedFile& file, bool ok, std::time_t when) {
    put({file, when, ok, false});
}

std::optional<StateFailure> CollectState::append(const ListedFile& file, FileWork work,
                                                 std::time_t when) {
    const CollectedFile entry{file, when, work == FileWork::Done, work == FileWork::Waiting};
    put(entry);
    auto failed = addLine(entry);
    appended_ = appended_ || !failed;
    return failed;
}

std::optional<StateFailure> CollectState::extracted(const std::string& name, std::time_t when) {
    const auto found = index_.find(name);
    if (found == index_.end() || !files_[found->second].waiting) {
        return std::nullopt;
    }
    return append(files_[found->second].file, FileWork::Done, when);
}

void CollectState::keepOnly(const std::vector<std::string>& listed) {
    const std::unordered_set<std::string> names(listed.begin(), listed.end());
    std::erase_if(files_, [&](const CollectedFile& c) { return !names.contains(c.file.name); });
    index_.clear();
    for (std::size_t i = 0; i < files_.size(); ++i) {
        index_.emplace(files_[i].file.name, i);
    }
}

}  // namespace tyq::download
