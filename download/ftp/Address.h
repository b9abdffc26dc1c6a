#pragma once

#include <string>
#include <string_view>

namespace tyq::download::ftp {

// The host and port of what the user typed as the server's address: a name
// or address, with a port or not, or an ftp:// URL with no more than "/" for
// a path.
struct Address {
    std::string host;  // as in a URL: an IPv6 address in brackets; empty when not an address
    long port = 0;     // 0 when the text names none
    // Why it is not an address, while host is empty.
    enum class Problem { None, Missing, NotAnAddress, OutOfMemory } problem = Problem::None;
    std::string typed;  // the text without surrounding blanks
};

Address parseAddress(std::string_view typed);

// The port log-in uses: the one typed with the host wins over the setting,
// and 0 means the FTP default.
long portOf(const Address& address, long setting);

// "host:port" for the server's address as log-in reads it, the host in lower
// case (an IPv6 address in brackets); empty when it is no address or the port
// is outside 1 to 65535.
std::string serverKey(std::string_view typed, long port);

}  // namespace tyq::download::ftp
