#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace tyq::download::ftp {

// The FTP facility's own time limits.
struct Timeouts {
    std::chrono::milliseconds connect{30'000};
    std::chrono::milliseconds response{60'000};
    // How long the server may take to open an active-mode data connection.
    std::chrono::milliseconds accept{15'000};
    // A data stream slower than 1 byte/s for this long is given up.
    std::chrono::seconds stalled{60};
};

// A listing longer than this is not a mailbox.
inline constexpr std::size_t kMaxListingBytes = 64u * 1024u * 1024u;

// Bytes of the current download so far, and its size (-1 while unknown).
using Progress = std::function<void(std::int64_t done, std::int64_t total)>;

}  // namespace tyq::download::ftp
