#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tyq {

// Words from outside (a server's reply, a listed name) made fit to show the
// user: control characters (C0, DEL and UTF-8 C1) become '?', and text over `limit` bytes is cut at
// a character boundary and ends in "...".
std::string shownText(std::string_view text, std::size_t limit);

// A size as the window shows sizes: "512 bytes", "10.5 MB" (powers of
// 1000, one decimal).
std::string sizeText(std::int64_t bytes);

// The first `named` items, each after `separator`, then one more separator
// and "and N more" for the rest: "; A; B; C; and 2 more".
std::string namedWithMore(const std::vector<std::string>& items, std::size_t named,
                          std::string_view separator);

// The items as a sentence names them, the first `named` at most: "A",
// "A and B", "A, B and C", "A, B, C and 2 more".
std::string namedInSentence(const std::vector<std::string>& items, std::size_t named);

}  // namespace tyq
