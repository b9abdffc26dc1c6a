#pragma once

#include <string>
#include <string_view>

namespace tyq {

// Appends `text` to `out`, each byte that `keep` refuses written as "%XX"
// (upper-case hexadecimal digits).
template <typename Keep>
void appendPercentEncoded(std::string& out, std::string_view text, Keep keep) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (keep(byte)) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
}

}  // namespace tyq
