#pragma once

#include <filesystem>
#include <string_view>

namespace tyq::download {

// Before a transfer: when the user is not on AOL (the stored "AOL" value
// begins with "0"), no dial-up connection is active and the machine is not
// fully online through another link, offers the dial-up phonebook.
// libraryFolder holds the dial-up service's libraries; where they are missing
// the check does nothing.
void EnsureDialUpConnection(std::string_view aol, const std::filesystem::path& libraryFolder);

}  // namespace tyq::download
