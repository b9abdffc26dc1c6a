#pragma once

#include <functional>

namespace tyq::app {

// The program takes no arguments but --help, --version and --verbose. The
// first two are answered before the toolkit starts, so neither needs a
// display nor touches a file; --verbose runs the window with every
// diagnostic record written to standard error. Anything else is refused, the
// toolkit's own options included.
enum class CommandLineAction { RunWindow, RunWindowVerbose, PrintHelp, PrintVersion, Refuse };

CommandLineAction parseCommandLine(int argc, const char* const* argv);

// Prints what the action asks for; returns the exit status (0 for --help and
// --version, 1 when standard output could not be written, 2 for a refusal).
int answerCommandLine(CommandLineAction action);

// Whether the toolkit would find no display to open: the platform it would
// use (QT_QPA_PLATFORM, else the desktop's default) needs DISPLAY or
// WAYLAND_DISPLAY and neither is set. getenv is the environment to read.
bool displayMissing(const std::function<const char*(const char*)>& getenv);

// Says there is no display (and how to run the demo without one); returns
// the exit status, 1.
int answerNoDisplay();

}  // namespace tyq::app
