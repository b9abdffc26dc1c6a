#include "settings/ProfileStore.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <vector>

#include "common/FileSearch.h"
#include "common/PercentEncoding.h"
#include "common/PrivateFile.h"

namespace tyq::settings {
namespace {

// Values the line format cannot hold as they stand are stored behind this
// marker, percent-encoded. Plain values never begin with it: one that would is
// itself stored encoded.
constexpr std::string_view kEscapeMarker = "%%";

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (isBlank(text.back()) || text.back() == '\r')) {
        text.remove_suffix(1);
    }
    return text;
}

bool needsEscape(std::string_view value) {
    if (value.empty()) {
        return false;
    }
    if (isBlank(value.front()) || isBlank(value.back()) || value.front() == '"' ||
        value.back() == '"' || value.starts_with(kEscapeMarker)) {
        return true;
    }
    return value.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos;
}

std::string encodeValue(std::string_view value) {
    if (!needsEscape(value)) {
        return std::string(value);
    }
    std::string out(kEscapeMarker);
    appendPercentEncoded(
        out, value, [](unsigned char byte) { return byte > 0x20 && byte < 0x7F && byte != '%'; });
    return out;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::string decodeValue(std::string_view stored) {
    stored = trim(stored);
    if (stored.size() >= 2 && stored.front() == '"' && stored.back() == '"') {
        return std::string(stored.substr(1, stored.size() - 2));
    }
    if (!stored.starts_with(kEscapeMarker)) {
        return std::string(stored);
    }
    std::string out;
    for (std::size_t i = kEscapeMarker.size(); i < stored.size(); ++i) {
        if (stored[i] == '%' && i + 2 < stored.size() && hexDigit(stored[i + 1]) >= 0 &&
            hexDigit(stored[i + 2]) >= 0) {
            out += static_cast<char>(hexDigit(stored[i + 1]) * 16 + hexDigit(stored[i + 2]));
            i += 2;
        } else {
            out += stored[i];
        }
    }
    return out;
}

// A settings file is a few hundred bytes; one past this is no settings file.
constexpr off_t kMaxFileSize = 1 << 20;

// The lines of a settings file, or why it cannot be taken as one.
struct FileLines {
    std::vector<std::string> lines;
    // Why the file was refused; nothing when it was read or is missing.
    std::optional<std::string> refusal;
};

// Only a regular file of at most kMaxFileSize is read: a FIFO would block
// the caller, a device could feed it without end.
FileLines readLines(const std::filesystem::path& file) {
    FileLines read;
    const RegularFile whole = readRegularFile(file, static_cast<std::size_t>(kMaxFileSize));
    if (!whole.regular) {
        read.refusal = "it is not a regular file";
        return read;
    }
    if (whole.error == EFBIG) {
        read.refusal = "it is larger than 1 MiB";
        return read;
    }
    if (whole.error != 0) {
        if (whole.error != ENOENT) {
            read.refusal = std::strerror(whole.error);
        }
        return read;
    }
    const std::string& text = whole.text;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            read.lines.push_back(text.substr(start));
            break;
        }
        read.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return read;
}

// Editors on other systems start the file with one; it is kept as it is.
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// "[name]" gives name; any other line gives nothing.
std::optional<std::string_view> sectionName(std::string_view line) {
    if (line.starts_with(kByteOrderMark)) {
        line.remove_prefix(kByteOrderMark.size());
    }
    line = trim(line);
    if (line.size() < 2 || line.front() != '[') {
        return std::nullopt;
    }
    const auto close = line.find(']');
    if (close == std::string_view::npos) {
        return std::nullopt;
    }
    return trim(line.substr(1, close - 1));
}

struct KeyLine {
    std::string_view key;
    std::string_view value;
};

std::optional<KeyLine> keyLine(std::string_view line) {
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || sectionName(line)) {
        return std::nullopt;
    }
    return KeyLine{trim(line.substr(0, equals)), line.substr(equals + 1)};
}

struct Location {
    std::optional<std::size_t> section;  // index of the section's header line
    std::optional<std::size_t> key;      // index of the key's line
    std::size_t sectionEnd = 0;          // one past the section's last key line
};

Location locate(const std::vector<std::string>& lines, std::string_view section,
                std::string_view key) {
    Location where;
    bool inSection = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (const auto name = sectionName(lines[i])) {
            if (where.section) {
                break;  // only the first section of that name counts
            }
            inSection = iequals(*name, section);
            if (inSection) {
                where.section = i;
                where.sectionEnd = i + 1;
            }
            continue;
        }
        if (!inSection) {
            continue;
        }
        if (const auto entry = keyLine(lines[i])) {
            where.sectionEnd = i + 1;
            if (!where.key && iequals(entry->key, key)) {
                where.key = i;
            }
        }
    }
    return where;
}

std::optional<std::string> lookUp(const std::filesystem::path& file, std::string_view section,
                                  std::string_view key) {
    // A file that cannot be read holds nothing: every read gives its default.
    const auto read = readLines(file);
    const auto where = locate(read.lines, section, key);
    if (!where.key) {
        return std::nullopt;
    }
    return decodeValue(keyLine(read.lines[*where.key])->value);
}

// Nothing when the file was replaced; else why not, in words.
std::optional<std::string> writeAtomically(const std::filesystem::path& name,
                                           const std::vector<std::string>& lines) {
    // The file a write replaces is the name's final link target, so that a
    // linked settings file (as dotfile managers keep them) stays a link.
    const auto target = linkTarget(name);
    if (!target) {
        return std::string(std::strerror(ELOOP));
    }
    const std::filesystem::path& file = *target;
    // Its owner's choice: a read-only file is not replaced, whoever we are.
    if (struct stat info{}; ::stat(file.c_str(), &info) == 0 && (info.st_mode & S_IWUSR) == 0) {
        return std::string("the file is read-only");
    }
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += '\n';
    }
    if (const int failure = replacePrivateFile(file, text, ".tyftp-")) {
        return std::string(std::strerror(failure));
    }
    return std::nullopt;
}

}  // namespace

ProfileStore::ProfileStore(std::filesystem::path folder, std::shared_ptr<SecretStore> secrets)
    : folder_(std::move(folder)), secrets_(std::move(secrets)) {}

std::filesystem::path ProfileStore::resolve(std::string_view fileName) const {
    // One rule for reads and writes, whatever spelling a caller uses: the name
    // in capitals first, else the first match in name order; with none, the
    // name in capitals is made.
    std::string canonical(fileName);
    for (char& c : canonical) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    std::error_code error;
    std::optional<std::string> first;
    std::filesystem::directory_iterator it(folder_, error), end;
    for (; !error && it != end; it.increment(error)) {
        const auto name = it->path().filename().string();
        if (name == canonical) {
            return it->path();
        }
        if (iequals(name, fileName) && (!first || name < *first)) {
            first = name;
        }
    }
    return folder_ / (first ? *first : canonical);
}

std::string ProfileStore::getString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t capacity,
                                    std::string_view fileName) const {
    if (capacity == 0) {
        return {};
    }
    auto value = lookUp(resolve(fileName), section, key).value_or(std::string(defaultValue));
    value.resize(std::min(value.size(), capacity - 1));
    return value;
}

int ProfileStore::getInt(std::string_view section, std::string_view key, int defaultValue,
                         std::string_view fileName) const {
    const auto stored = lookUp(resolve(fileName), section, key);
    if (!stored) {
        return defaultValue;
    }
    std::string_view text = trim(*stored);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    long long number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            break;
        }
        number = std::min<long long>(number * 10 + (c - '0'), static_cast<long long>(INT_MAX) + 1);
    }
    if (negative) {
        number = -number;
    }
    return static_cast<int>(std::clamp<long long>(number, INT_MIN, INT_MAX));
}

bool ProfileStore::writeString(std::string_view section, std::string_view key,
                               std::string_view value, std::string_view fileName) const {
    return !write(section, key, value, fileName);
}

std::optional<std::string> ProfileStore::write(std::string_view section, std::string_view key,
                                               std::string_view value,
                                               std::string_view fileName) const {
    std::error_code error;
    if (!std::filesystem::exists(folder_, error)) {
        std::filesystem::create_directories(folder_, error);
        if (error) {
            return error.message();
        }
        std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, error);
    }
    const auto file = resolve(fileName);
    auto read = readLines(file);
    if (read.refusal) {
        // Nothing is written over what could not be read.
        return "the file cannot be read: " + *read.refusal;
    }
    auto& lines = read.lines;
    const auto line = std::string(key) + "=" + encodeValue(value);
    const auto where = locate(lines, section, key);
    if (where.key && decodeValue(keyLine(lines[*where.key])->value) == value) {
        return std::nullopt;  // already held: nothing to write, nothing to fail
    }
    if (where.key) {
        lines[*where.key] = line;
    } else if (where.section) {
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(where.sectionEnd), line);
    } else {
        lines.push_back("[" + std::string(section) + "]");
        lines.push_back(line);
    }
    return writeAtomically(file, lines);
}

std::filesystem::path defaultSettingsFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME");
        config != nullptr && config[0] == '/') {
        return std::filesystem::path(config) / "tyqlmftp";
    }
    std::filesystem::path home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
        home = env;
    } else if (const passwd* user = getpwuid(getuid()); user != nullptr) {
        home = user->pw_dir;
    }
    return home / ".config" / "tyqlmftp";
}

}  // namespace tyq::settings
