#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace tyq {

std::filesystem::path executablePath() {
    std::error_code error;
    auto path = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path{} : path;
}

std::filesystem::path executableFolder() {
    return executablePath().parent_path();
}

std::string parentFolder(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return std::string(path.substr(0, slash));
}

std::string expandHome(std::string_view path) {
    if (path != "~" && !path.starts_with("~/")) {
        return std::string(path);
    }
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable != nullptr && *variable != '\0') {
        home = variable;
    } else {
        // No $HOME (a service, say): the password database knows.
        std::vector<char> buffer(16384);
        passwd entry{};
        passwd* found = nullptr;
        if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    if (home.empty()) {
        return std::string(path);  // nothing better to offer than the name as typed
    }
    while (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    const std::string_view rest = path.substr(1);  // "" or "/..."
    return home == "/" && !rest.empty() ? std::string(rest) : home + std::string(rest);
}

std::optional<std::string> currentDirectory() {
    // getcwd with a growing buffer: no fixed limit on the directory's length.
    std::vector<char> buffer(256);
    for (;;) {
        if (getcwd(buffer.data(), buffer.size()) != nullptr) {
            return std::string(buffer.data());
        }
        if (errno != ERANGE || buffer.size() > (1u << 20)) {
            return std::nullopt;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace tyq
