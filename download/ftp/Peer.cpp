#include "download/ftp/Peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>
#include <optional>
#include <string>

namespace tyq::download::ftp {
namespace {

// An address as IPv6 bytes, an IPv4 one mapped: the two forms of one
// address compare equal.
std::optional<in6_addr> asIpv6(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    }
    if (address.ss_family == AF_INET) {
        in6_addr mapped{};
        mapped.s6_addr[10] = 0xff;
        mapped.s6_addr[11] = 0xff;
        std::memcpy(&mapped.s6_addr[12], &reinterpret_cast<const sockaddr_in&>(address).sin_addr,
                    4);
        return mapped;
    }
    return std::nullopt;
}

std::optional<in6_addr> asIpv6(std::string text) {
    text = text.substr(0, text.find('%'));  // no zone
    sockaddr_storage address{};
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, text.c_str(), &v4.sin_addr) == 1) {
        address.ss_family = AF_INET;
    } else if (inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
        address.ss_family = AF_INET6;
    }
    return asIpv6(address);
}

}  // namespace

bool fromServer(CURL* easy, int socket) {
    char* serverIp = nullptr;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &serverIp) != CURLE_OK ||
        serverIp == nullptr ||
        getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return false;
    }
    const auto server = asIpv6(serverIp);
    const auto from = asIpv6(peer);
    return server && from && std::memcmp(server->s6_addr, from->s6_addr, 16) == 0;
}

}  // namespace tyq::download::ftp
