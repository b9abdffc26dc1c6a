#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tyq::download {

// A mailbox file as the listing told it. The time is the server's
// "YYYYMMDDHHMMSS" (MLSD modify or MDTM), empty when it told none.
struct ListedFile {
    std::string name;
    std::int64_t size = -1;
    std::string modified;
};

// The mailbox's ".ZIP" names, or why they could not be listed.
struct ZipListing {
    bool listed = false;
    std::vector<std::string> names;
    // Each name's size as the listing told it (MLSD), or -1; empty when the
    // listing tells no sizes (NLST).
    std::vector<long long> sizes;
    // The size told for names[item], or -1.
    long long sizeAt(std::size_t item) const { return sizes.empty() ? -1 : sizes[item]; }
    std::string failure;  // a few plain words, while not listed
    // Each name's modification time as the listing told it (MLSD modify,
    // "YYYYMMDDHHMMSS"), empty where it told none; empty for NLST.
    std::vector<std::string> modified;
    std::string modifiedAt(std::size_t item) const {
        return item < modified.size() ? modified[item] : std::string();
    }
};

inline bool isControlByte(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

// A name the mailbox may list that is safe to request and to write locally:
// no path separators, no control characters, not "." or "..", not empty.
inline bool isPlainFileName(std::string_view name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(),
                        [](char c) { return c == '/' || c == '\\' || isControlByte(c); });
}

// A listed file as the listing told it.
inline ListedFile listedFile(const ZipListing& listing, std::size_t item) {
    return {listing.names.at(item), listing.sizeAt(item), listing.modifiedAt(item)};
}

}  // namespace tyq::download
