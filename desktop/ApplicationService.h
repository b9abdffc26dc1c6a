#pragma once

#include <filesystem>

namespace tyq::desktop {

// The program as the desktop starts it by its bus name (D-Bus activation of
// its desktop entry): it answers org.freedesktop.Application on the session
// bus until no call has come for a while. Activate and Open start the window
// (`program` without arguments); ActivateAction "open-folder" shows the
// folder it names in the file manager, so a notification's button works
// after the collection that sent it has ended. The activation token the
// desktop passes goes on to what is started. Returns the exit status.
int serveApplication(const std::filesystem::path& program);

}  // namespace tyq::desktop
