#include "app/LibraryEntries.h"

#include <type_traits>

#include "app/CUtilityApp.h"

extern "C" __attribute__((visibility("default"))) int tyq_run_window(int argc, char** argv) {
    tyq::app::CUtilityApp app;
    return app.run(argc, argv);
}

// The program finds the entry by name: its type must stay the one it calls.
static_assert(std::is_same_v<decltype(&tyq_run_window), ProgramEntry>);
