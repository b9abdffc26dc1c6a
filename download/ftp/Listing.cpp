#include "download/ftp/Listing.h"

#include <limits>
#include <optional>

#include "common/FileSearch.h"
#include "common/TextItems.h"

namespace tyq::download::ftp {
namespace {

struct MlsdEntry {
    std::string_view name;
    long long size = -1;
    std::string modified;
};

// Nothing for a line without facts, or for the folder itself and its parent
// (which NLST does not list either).
std::optional<MlsdEntry> mlsdEntry(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) {
        return std::nullopt;
    }
    MlsdEntry entry{line.substr(space + 1), -1, {}};
    auto facts = line.substr(0, space);
    while (!facts.empty()) {
        const auto end = facts.find(';');
        const auto fact = facts.substr(0, end);
        facts = end == std::string_view::npos ? std::string_view{} : facts.substr(end + 1);
        const auto equals = fact.find('=');
        if (equals == std::string_view::npos) {
            continue;
        }
        const auto name = fact.substr(0, equals);
        const auto value = fact.substr(equals + 1);
        if (iequals(name, "size")) {
            entry.size = sizeIn(value);
        } else if (iequals(name, "modify")) {
            entry.modified = timeIn(value);
        } else if (iequals(name, "type") && (iequals(value, "cdir") || iequals(value, "pdir"))) {
            return std::nullopt;
        }
    }
    return entry;
}

// The next line of text, its line end dropped; text moves past it.
std::string_view nextLine(std::string_view& text) {
    auto line = nextItem(text, '\n');
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// An "ls -l" line: mode, links, owner, group, size, month, day, time or
// year; the name is the rest after one space, spaces of its own kept.
// Nothing for a line with fewer fields; the size is -1 when unreadable.
std::optional<ShownFile> shownEntry(std::string_view line) {
    std::string_view fields[8];
    std::size_t at = 0;
    for (auto& field : fields) {
        at = line.find_first_not_of(' ', at);
        const auto stop = line.find(' ', at);
        if (at == std::string_view::npos || stop == std::string_view::npos) {
            return std::nullopt;
        }
        field = line.substr(at, stop - at);
        at = stop;
    }
    if (at + 1 >= line.size()) {
        return std::nullopt;
    }
    return ShownFile{
        std::string(line.substr(at + 1)), sizeIn(fields[4]),
        std::string(fields[5]) + " " + std::string(fields[6]) + " " + std::string(fields[7])};
}

}  // namespace

std::vector<ShownFile> filesShownIn(std::string_view text) {
    std::vector<ShownFile> shown;
    while (!text.empty()) {
        const auto line = nextLine(text);
        if (line.empty() || line.front() != '-') {
            continue;  // folders, links, totals
        }
        if (auto file = shownEntry(line); file && file->size >= 0) {
            shown.push_back(std::move(*file));
        }
    }
    return shown;
}

std::optional<ZipNames> zipFilesShownIn(std::string_view text) {
    ZipNames found;
    while (!text.empty()) {
        const auto line = nextLine(text);
        if (line.empty() || line.starts_with("total ")) {
            continue;
        }
        auto entry = shownEntry(line);
        // A mode of ten letters or more, as "ls -l" shows it.
        const bool mode = line.find(' ') >= 10;
        if (!entry || !mode || (line.front() != '-' && line.front() != 'd')) {
            return std::nullopt;  // another form, or a link: only NLST tells its name
        }
        if (!matchesPattern(entry->name, NamePattern::AnyZip)) {
            continue;
        }
        // NLST would list a folder of that name, and a file whose size is
        // unreadable may be misread altogether.
        if (line.front() == 'd' || entry->size < 0) {
            return std::nullopt;
        }
        found.names.push_back(std::move(entry->name));
        found.sizes.push_back(entry->size);
        found.modified.push_back(std::move(entry->time));
    }
    return found;
}

std::string timeIn(std::string_view value) {
    const auto digits = value.substr(0, value.find('.'));
    if (digits.size() != 14 || sizeIn(digits) < 0) {
        return {};
    }
    return std::string(digits);
}

namespace {

// The parts of a time a listing tells; -1 for a part it does not.
struct TimeParts {
    int year = -1;
    int month = -1;
    int day = -1;
    int minuteOfDay = -1;
    int second = -1;
};

std::optional<TimeParts> partsOf(std::string_view time) {
    const auto number = [](std::string_view digits) {
        const long long value = digits.size() <= 4 ? sizeIn(digits) : -1;
        return static_cast<int>(value);
    };
    TimeParts parts;
    if (time.size() == 14 && sizeIn(time) >= 0) {
        parts = {number(time.substr(0, 4)), number(time.substr(4, 2)), number(time.substr(6, 2)),
                 number(time.substr(8, 2)) * 60 + number(time.substr(10, 2)),
                 number(time.substr(12, 2))};
        return parts;
    }
    // "Mon DD HH:MM" or "Mon DD YYYY", as filesShownIn keeps them.
    static constexpr std::string_view kMonths[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                                   "jul", "aug", "sep", "oct", "nov", "dec"};
    const auto space = time.find(' ');
    const auto second = time.find(' ', space + 1);
    if (space != 3 || second == std::string_view::npos) {
        return std::nullopt;
    }
    for (int m = 0; m < 12; ++m) {
        if (iequals(time.substr(0, 3), kMonths[m])) {
            parts.month = m + 1;
        }
    }
    parts.day = number(time.substr(space + 1, second - space - 1));
    const auto last = time.substr(second + 1);
    if (last.size() == 5 && last[2] == ':') {
        const int hour = number(last.substr(0, 2));
        const int minute = number(last.substr(3, 2));
        parts.minuteOfDay = hour < 0 || minute < 0 ? -1 : hour * 60 + minute;
        if (parts.minuteOfDay < 0) {
            return std::nullopt;
        }
    } else if ((parts.year = number(last)) < 0 || last.size() != 4) {
        return std::nullopt;
    }
    if (parts.month < 0 || parts.day < 0) {
        return std::nullopt;
    }
    return parts;
}

}  // namespace

bool sameTime(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    const auto x = partsOf(a);
    const auto y = partsOf(b);
    if (!x || !y) {
        return false;
    }
    const auto agree = [](int p, int q) { return p < 0 || q < 0 || p == q; };
    return x->month == y->month && x->day == y->day && agree(x->year, y->year) &&
           agree(x->minuteOfDay, y->minuteOfDay) && agree(x->second, y->second);
}

long long sizeIn(std::string_view digits) {
    if (digits.empty()) {
        return -1;
    }
    long long value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<long long>::max() - 9) / 10) {
            return -1;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

ZipNames zipNamesIn(std::string_view text, bool mlsd) {
    ZipNames found;
    std::string_view rest(text);
    while (!rest.empty()) {
        auto line = nextLine(rest);
        long long size = -1;
        std::string modified;
        if (mlsd) {
            auto entry = mlsdEntry(line);
            if (!entry) {
                continue;
            }
            line = entry->name;
            size = entry->size;
            modified = std::move(entry->modified);
        }
        if (matchesPattern(line, NamePattern::AnyZip)) {
            found.names.emplace_back(line);
            if (mlsd) {
                found.sizes.push_back(size);
                found.modified.push_back(std::move(modified));
            }
        }
    }
    return found;
}

void ToldSizes::read(std::string_view line) {
    if (line.substr(0, 4) == "150 " || line.substr(0, 4) == "125 ") {
        const auto close = line.rfind(" bytes)");
        const auto open = line.rfind('(', close);
        if (close != std::string_view::npos && open != std::string_view::npos && open + 1 < close) {
            if (const auto value = sizeIn(line.substr(open + 1, close - open - 1)); value >= 0) {
                announced = value;
            }
        }
    } else if (line.substr(0, 4) == "213 " && sized < 0) {
        sized = sizeIn(line.substr(4));
    }
}

SizeVerdict sizeVerdict(long long written, long long counted, const ToldSizes& told,
                        long long said) {
    // Two sizes told that disagree leave nothing to hold the file to.
    if (counted != written ||
        (told.sized >= 0 && told.announced >= 0 && told.sized != told.announced)) {
        return SizeVerdict::NotAsSaid;
    }
    if (said >= 0 && written < said) {
        return SizeVerdict::Short;
    }
    if (said >= 0 && written > said) {
        return SizeVerdict::Long;
    }
    return SizeVerdict::Whole;
}

}  // namespace tyq::download::ftp
