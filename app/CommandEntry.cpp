#include <type_traits>

#include "app/CommandLine.h"
#include "app/LibraryEntries.h"

extern "C" __attribute__((visibility("default"))) int tyq_run_command(int argc, char** argv) {
    return tyq::app::answerCommandLine(tyq::app::parseCommandLine(argc, argv));
}

// The program finds the entry by name: its type must stay the one it calls.
static_assert(std::is_same_v<decltype(&tyq_run_command), ProgramEntry>);
