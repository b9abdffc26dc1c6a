#include "FileSearch.h"

#include <algorithm>
#include <memory>

#include <dirent.h>

namespace tyq {
namespace {

char lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool ilessThan(std::string_view a, std::string_view b) {
    const auto n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const auto ca = static_cast<unsigned char>(lower(a[i]));
        const auto cb = static_cast<unsigned char>(lower(b[i]));
        if (ca != cb) {
            return ca < cb;
        }
    }
    return a.size() < b.size();
}

struct DirCloser {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char x, char y) { return lower(x) == lower(y); });
}

bool istartsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

bool iendsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           iequals(text.substr(text.size() - suffix.size()), suffix);
}

bool matchesPattern(std::string_view name, NamePattern pattern) {
    switch (pattern) {
        case NamePattern::QlmAny:
            return istartsWith(name, "QLM");
        case NamePattern::QlmZip:
            return istartsWith(name, "QLM") && iendsWith(name, ".ZIP");
        case NamePattern::AnyZip:
            return iendsWith(name, ".ZIP");
    }
    return false;
}

std::vector<std::string> findEntries(const std::filesystem::path& folder, NamePattern pattern) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) {
        return names;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name == "." || name == "..") {
            continue;
        }
        if (matchesPattern(name, pattern)) {
            names.emplace_back(name);
        }
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return ilessThan(a, b); });
    return names;
}

}  // namespace tyq
