#include "download/KnownServers.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/PrivateFile.h"

namespace tyq::download {
namespace {

constexpr char kTlsMark[] = "@tls ";
constexpr char kNoMlsdMark[] = "@nomlsd ";
// Far more than any list of servers: a bigger file is not ours.
constexpr std::size_t kMaxBytes = 1u << 20;

// The server a line names, or empty for a line that names none.
std::string serverOf(const std::string& line) {
    const auto space = line.find(' ');
    if (line.empty() || line.front() == '#' || space == std::string::npos || space == 0) {
        return {};
    }
    return line.substr(0, space);
}

// The server a line of the mark ("@tls "...) names, or empty.
template <std::size_t N>
std::string markedServerOf(const std::string& line, const char (&mark)[N]) {
    if (line.rfind(mark, 0) != 0) {
        return {};
    }
    const auto start = line.find_first_not_of(' ', N - 1);
    const auto end = line.find_last_not_of(' ');
    return start == std::string::npos ? std::string() : line.substr(start, end - start + 1);
}

// The server an "@tls" line names, or empty.
std::string tlsServerOf(const std::string& line) {
    return markedServerOf(line, kTlsMark);
}

}  // namespace

KnownServers::KnownServers(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> KnownServers::load() {
    lines_.clear();
    const auto read = readRegularFile(file_, kMaxBytes);
    if (read.error == ENOENT) {
        return std::nullopt;
    }
    if (!read.ok()) {
        return "Cannot read the trusted certificates: " + file_.string() + ": " + read.failure();
    }
    if (read.owner != ::geteuid() && read.owner != 0) {
        return "Not using " + file_.string() + ": it belongs to another user";
    }
    if ((read.mode & (S_IWGRP | S_IWOTH)) != 0) {
        return "Not using " + file_.string() + ": other users can change it";
    }
    std::size_t start = 0;
    while (start < read.text.size()) {
        auto end = read.text.find('\n', start);
        if (end == std::string::npos) {
            end = read.text.size();
        }
        std::string line = read.text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines_.push_back(std::move(line));
        start = end + 1;
    }
    return std::nullopt;
}

std::optional<std::string> KnownServers::fingerprint(const std::string& server) const {
    for (const auto& line : lines_) {
        if (serverOf(line) == server) {
            const auto rest = line.substr(server.size() + 1);
            const auto start = rest.find_first_not_of(' ');
            const auto end = rest.find_last_not_of(' ');
            if (start != std::string::npos) {
                return rest.substr(start, end - start + 1);
            }
        }
    }
    return std::nullopt;
}

bool KnownServers::usedTls(const std::string& server) const {
    for (const auto& line : lines_) {
        if (tlsServerOf(line) == server) {
            return true;
        }
    }
    return false;
}

ftp::ServerIdentity KnownServers::identity(ftp::ServerIdentity server) const {
    const auto key = server.key();
    server.pin = fingerprint(key).value_or("");
    server.usedTlsBefore = usedTls(key);
    return server;
}

std::optional<std::string> KnownServers::remember(const std::string& server,
                                                  const std::string& fingerprint) {
    // The fingerprint says the server encrypts: an "@tls" line would only
    // outlive it when the user deletes it to forget the certificate.
    std::vector<std::string> lines;
    for (const auto& line : lines_) {
        if (serverOf(line) != server && tlsServerOf(line) != server) {
            lines.push_back(line);
        }
    }
    lines.push_back(server + " " + fingerprint);
    return save(std::move(lines));
}

std::optional<std::string> KnownServers::rememberTls(const std::string& server) {
    if (usedTls(server) || fingerprint(server)) {
        return std::nullopt;
    }
    auto lines = lines_;
    lines.push_back(kTlsMark + server);
    return save(std::move(lines));
}

bool KnownServers::refusesMlsd(const std::string& server) const {
    return std::ranges::any_of(lines_, [&](const std::string& line) {
        return markedServerOf(line, kNoMlsdMark) == server;
    });
}

std::optional<std::string> KnownServers::rememberMlsd(const std::string& server, bool refused) {
    if (server.empty() || refusesMlsd(server) == refused) {
        return std::nullopt;
    }
    std::vector<std::string> lines;
    for (const auto& line : lines_) {
        if (markedServerOf(line, kNoMlsdMark) != server) {
            lines.push_back(line);
        }
    }
    if (refused) {
        lines.push_back(kNoMlsdMark + server);
    }
    return save(std::move(lines));
}

std::optional<std::string> KnownServers::save(std::vector<std::string> lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    // A linked file stays a link: its target is replaced.
    const auto target = linkTarget(file_);
    if (!target) {
        return file_.string() + ": " + std::strerror(ELOOP);
    }
    // Written beside the file and renamed over it, so a crash leaves the old
    // list or the new one, never half of one.
    std::error_code ignored;
    std::filesystem::create_directories(target->parent_path(), ignored);
    if (const int failure = replacePrivateFile(*target, text, ".known_servers-")) {
        return file_.string() + ": " + std::strerror(failure);
    }
    lines_ = std::move(lines);
    return std::nullopt;
}

}  // namespace tyq::download
