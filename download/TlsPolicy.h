#pragma once

#include <strings.h>

#include <string>
#include <string_view>

#include "settings/Keys.h"

namespace tyq::download {

// Whether the control and data connections are encrypted (explicit TLS).
enum class Encryption {
    IfOffered,  // AUTH TLS first; plain FTP when the server refuses it
    Required,   // a server that refuses AUTH TLS is not logged in to
    Plain,      // no AUTH TLS
};

// The stored "Encryption" value, read whole, trimmed and in any letter case.
inline Encryption encryptionFrom(std::string_view stored) {
    const auto first = stored.find_first_not_of(" \t\r\n");
    const auto last = stored.find_last_not_of(" \t\r\n");
    const std::string value(first == std::string_view::npos
                                ? std::string_view{}
                                : stored.substr(first, last - first + 1));
    if (strcasecmp(value.c_str(), settings::kEncryptionRequired) == 0) {
        return Encryption::Required;
    }
    if (strcasecmp(value.c_str(), settings::kEncryptionPlain) == 0) {
        return Encryption::Plain;
    }
    return Encryption::IfOffered;
}

}  // namespace tyq::download
