#pragma once

namespace tyq::app {

// The program takes no arguments but --help and --version. Each is answered
// before the toolkit starts, so neither needs a display nor touches a file;
// anything else is refused, the toolkit's own options included.
enum class CommandLineAction { RunWindow, PrintHelp, PrintVersion, Refuse };

CommandLineAction parseCommandLine(int argc, const char* const* argv);

// Prints what the action asks for; returns the exit status (0 for --help and
// --version, 1 when standard output could not be written, 2 for a refusal).
int answerCommandLine(CommandLineAction action);

}  // namespace tyq::app
