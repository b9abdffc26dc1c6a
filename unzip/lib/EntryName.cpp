#include "unzip/lib/EntryName.h"

namespace tyq::unzip::lib {

std::optional<EntryPath> checkEntryName(std::string_view name) {
    if (name.empty() || name.front() == '/' ||
        name.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) {
        return std::nullopt;
    }
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (name.size() >= 2 && letter(name[0]) && name[1] == ':') {
        return std::nullopt;
    }
    EntryPath path;
    path.folder = name.back() == '/';
    std::string_view rest = name;
    while (!rest.empty()) {
        const std::size_t slash = rest.find('/');
        const std::string_view step = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (step.empty() || step == ".") {
            continue;
        }
        if (step == "..") {
            return std::nullopt;
        }
        path.parts.emplace_back(step);
    }
    return path;
}

}  // namespace tyq::unzip::lib
