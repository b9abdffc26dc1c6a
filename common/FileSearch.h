#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tyq {

// The three name patterns the program searches with. Letters compare without
// regard to case (ASCII), so "qlm0101.zip" matches "QLM*.ZIP".
enum class NamePattern {
    QlmAny,  // "QLM*.*": begins with "QLM", with or without an extension
    QlmZip,  // "QLM*.ZIP": begins with "QLM" and ends with ".ZIP"
    AnyZip,  // "*.ZIP": ends with ".ZIP"
};

bool matchesPattern(std::string_view name, NamePattern pattern);

// Names of the entries of a folder (files and folders alike, "." and ".."
// excepted) that match the pattern, in case-insensitive name order. A folder
// that cannot be read yields nothing.
std::vector<std::string> findEntries(const std::filesystem::path& folder, NamePattern pattern);

// Case-insensitive (ASCII) comparisons shared by the searches.
bool iequals(std::string_view a, std::string_view b);
bool istartsWith(std::string_view text, std::string_view prefix);
bool iendsWith(std::string_view text, std::string_view suffix);

}  // namespace tyq
