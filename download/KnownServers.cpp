#include "download/KnownServers.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "common/PrivateFile.h"

namespace tyq::download {
namespace {

// The server a line names, or empty for a line that names none.
std::string serverOf(const std::string& line) {
    const auto space = line.find(' ');
    if (line.empty() || line.front() == '#' || space == std::string::npos || space == 0) {
        return {};
    }
    return line.substr(0, space);
}

}  // namespace

KnownServers::KnownServers(std::filesystem::path file) : file_(std::move(file)) {}

std::optional<std::string> KnownServers::load() {
    lines_.clear();
    std::ifstream in(file_, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return file_.string() + ": " + std::strerror(errno);
    }
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines_.push_back(std::move(line));
    }
    if (in.bad()) {
        return file_.string() + ": cannot be read";
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

std::optional<std::string> KnownServers::remember(const std::string& server,
                                                  const std::string& fingerprint) {
    std::vector<std::string> lines;
    for (const auto& line : lines_) {
        if (serverOf(line) != server) {
            lines.push_back(line);
        }
    }
    lines.push_back(server + " " + fingerprint);
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }

    // Written beside the file and renamed over it, so a crash leaves the old
    // list or the new one, never half of one.
    std::error_code ignored;
    std::filesystem::create_directories(file_.parent_path(), ignored);
    if (const int failure = replacePrivateFile(file_, text, ".known_servers-")) {
        return file_.string() + ": " + std::strerror(failure);
    }
    lines_ = std::move(lines);
    return std::nullopt;
}

}  // namespace tyq::download
