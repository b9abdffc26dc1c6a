#pragma once

#include <filesystem>

#include "settings/ProfileStore.h"

namespace tyq::download {

// Before a transfer: when the user is not on AOL, no dial-up connection is
// active and the machine is not fully online through another link, offers the
// dial-up phonebook. libraryFolder holds the dial-up service's libraries;
// where they are missing the check does nothing.
void EnsureDialUpConnection(const settings::ProfileStore& profiles,
                            const std::filesystem::path& libraryFolder);

}  // namespace tyq::download
