#pragma once

#include <filesystem>

#include "common/Prompter.h"

namespace tyq::app {

// On the way out: when exactly one dial-up connection is active, asks whether
// to close it and hangs it up on Yes. The dial-up library is loaded from
// libraryFolder; a missing library or entry, a failed enumeration and a failed
// hang-up all pass in silence.
void OfferHangUp(Prompter& prompter, const std::filesystem::path& libraryFolder);

}  // namespace tyq::app
