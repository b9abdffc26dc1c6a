#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "common/DialUpApi.h"

namespace tyq::download {

// Before a transfer: when the user is not on AOL (the stored "AOL" value
// begins with "0"), no dial-up connection is active and the machine is not
// fully online through another link, offers the dial-up phonebook.
// libraryFolder holds the dial-up service's libraries; where they are missing
// the check does nothing.
void EnsureDialUpConnection(std::string_view aol, const std::filesystem::path& libraryFolder);

// The active dial-up connections as `enumerate` tells them, with room for one
// record (two or more fail the call): how many, and the one when there is
// one; nothing when the call failed.
struct OneConnection {
    std::uint32_t count = 0;
    TyRasConnA connection{};
};
std::optional<OneConnection> enumerateOne(TyRasEnumConnectionsA enumerate);

}  // namespace tyq::download
