#include "download/ftp/Identity.h"

#include <algorithm>
#include <cctype>

namespace tyq::download::ftp {

std::string ServerIdentity::key() const {
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower + ":" + std::to_string(port);
}

std::string ServerIdentity::certificateHost() const {
    return !host.empty() && host.front() == '[' ? host.substr(1, host.size() - 2) : host;
}

}  // namespace tyq::download::ftp
