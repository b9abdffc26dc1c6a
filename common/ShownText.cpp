#include "common/ShownText.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace tyq {

std::string shownText(std::string_view text, std::size_t limit) {
    std::string out;
    const std::string_view shown = text.substr(0, limit);
    for (std::size_t at = 0; at < shown.size(); ++at) {
        const auto byte = static_cast<unsigned char>(shown[at]);
        // C1 controls in UTF-8 (C2 80 to C2 9F) are obeyed by some terminals too.
        const bool c1 = byte == 0xC2 && at + 1 < shown.size() &&
                        (static_cast<unsigned char>(shown[at + 1]) & 0xE0u) == 0x80u;
        out += (byte < 0x20 || byte == 0x7f || c1) ? '?' : shown[at];
        at += c1 ? 1 : 0;
    }
    if (text.size() > limit) {
        // Not in the middle of a UTF-8 sequence.
        while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0u) == 0x80u) {
            out.pop_back();
        }
        if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0u) {
            out.pop_back();
        }
        out += "...";
    }
    return out;
}

std::string namedWithMore(const std::vector<std::string>& items, std::size_t named,
                          std::string_view separator) {
    std::string text;
    const std::size_t shown = std::min(items.size(), named);
    for (std::size_t i = 0; i < shown; ++i) {
        text += separator;
        text += items[i];
    }
    if (items.size() > shown) {
        text += separator;
        text += "and " + std::to_string(items.size() - shown) + " more";
    }
    return text;
}

std::string namedInSentence(const std::vector<std::string>& items, std::size_t named) {
    const std::size_t shown = std::min(items.size(), std::max<std::size_t>(named, 1));
    std::string text;
    for (std::size_t i = 0; i < shown; ++i) {
        // The last one named takes "and" when nothing is left to count.
        const bool last = i + 1 == shown && items.size() == shown;
        text += (i == 0 ? "" : last ? " and " : ", ") + items[i];
    }
    if (items.size() > shown) {
        text += " and " + std::to_string(items.size() - shown) + " more";
    }
    return text;
}

std::string sizeText(std::int64_t bytes) {
    if (bytes < 1000) {
        return std::to_string(bytes) + " bytes";
    }
    static constexpr std::array<const char*, 6> kUnits{"kB", "MB", "GB", "TB", "PB", "EB"};
    double value = static_cast<double>(bytes) / 1000;
    std::size_t unit = 0;
    // Rounded as shown: 999,950 bytes reads "1.0 MB", not "1000.0 kB".
    while (value >= 999.95 && unit + 1 < kUnits.size()) {
        value /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

}  // namespace tyq
