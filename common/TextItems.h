#pragma once

#include <string_view>

namespace tyq {

// The next item of a list: the text up to `separator` (all of it when there
// is none); `rest` then starts after the separator.
inline std::string_view nextItem(std::string_view& rest, char separator) noexcept {
    const auto end = rest.find(separator);
    const auto item = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    return item;
}

}  // namespace tyq
