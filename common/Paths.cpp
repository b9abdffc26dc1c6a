#include "Paths.h"

#include <unistd.h>

#include <cerrno>
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
