#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "app/Collect.h"

namespace tyq::app {

// The program takes no arguments but --help, --version, --verbose, --collect
// (with --quiet and --again NAME), --schedule HH:MM and --no-schedule, and --gapplication-service,
// which the desktop passes when it starts the program by its bus name. All but
// --verbose are answered before the toolkit starts, so they need no display;
// --verbose runs the window with every diagnostic record written to standard
// error. Anything else is refused, the toolkit's own options included.
enum class CommandLineAction {
    RunWindow,
    RunWindowVerbose,
    PrintHelp,
    PrintVersion,
    Collect,
    Schedule,
    Unschedule,
    ServeApplication,  // --gapplication-service: started by the desktop by bus name
    BadTime,           // --schedule without a time of day as HH:MM
    BadCollect,        // --collect's own options wrong, or without it
    Refuse
};

struct CommandLine {
    CommandLineAction action = CommandLineAction::RunWindow;
    std::string time;  // --schedule's argument
    CollectRequest collect;
    // What is wrong, when BadCollect.
    std::string problem;
    // Refused: the first word that is no option of ours, else the first
    // word too many.
    std::string unknown;
    std::string unexpected;
};

CommandLine parseCommandLine(int argc, const char* const* argv);

// Whether the arguments ask for the window (none, or --verbose alone): the
// program loads the window's library then, and the command line's otherwise.
inline bool asksForWindow(int argc, const char* const* argv) {
    return argc <= 1 || (argc == 2 && std::string_view(argv[1]) == "--verbose");
}

// Does and prints what the command line asks for; returns the exit status (0
// when done, 1 when standard output could not be written or the schedule could
// not be changed, 2 for a refusal; --collect's own statuses).
int answerCommandLine(const CommandLine& line);

// Whether the toolkit would find no display to open: the platform it would
// use (QT_QPA_PLATFORM, else the desktop's default) needs DISPLAY or
// WAYLAND_DISPLAY and neither is set. getenv is the environment to read.
bool displayMissing(const std::function<const char*(const char*)>& getenv);

// The source tree of the build the program runs from (its folder is that
// build's bin/, and the tree has script/run), or empty: an installed program.
std::filesystem::path sourceTreeOf(const std::filesystem::path& programFolder);

// Says there is no display, and what works without one: --collect, and from
// a source tree the demo; returns the exit status, 1.
int answerNoDisplay();

}  // namespace tyq::app
