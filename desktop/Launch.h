#pragma once

#include <string>
#include <vector>

namespace tyq::desktop {

// Starts argv[0] (looked up in PATH when it has no slash) with this
// process's environment and, when token is not empty, the desktop's
// activation token in XDG_ACTIVATION_TOKEN and DESKTOP_STARTUP_ID, so the
// desktop lets what it shows come to the front. With `wait`, true only when
// it ran and exited with 0; else true once it has started.
bool launch(const std::vector<std::string>& argv, const std::string& token, bool wait);

}  // namespace tyq::desktop
