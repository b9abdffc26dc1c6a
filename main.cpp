#include <cstdio>

#include "app/CommandLine.h"
#include "app/WindowEntry.h"
#include "common/Paths.h"
#include "common/SharedLibrary.h"

namespace {

// The window's toolkit and its many libraries are loaded only here: the
// command-line answers and the collection start without them.
int runWindow(int argc, char** argv) {
    const tyq::SharedLibrary window(tyq::executableFolder() / kWindowLibrary);
    const auto entry = window.entryAs<WindowEntry>(kWindowEntry);
    if (entry == nullptr) {
        std::fprintf(stderr, "tyqlmftp: cannot load the window: %s\n",
                     window.loaded() ? "its entry is missing" : window.error().c_str());
        return 1;
    }
    return entry(argc, argv);
}

}  // namespace

int main(int argc, char** argv) {
    using tyq::app::CommandLineAction;
    const auto line = tyq::app::parseCommandLine(argc, argv);
    switch (line.action) {
        case CommandLineAction::RunWindow:
        case CommandLineAction::RunWindowVerbose:
            return runWindow(argc, argv);
        default:
            // Answered before the toolkit: no display needed, no window.
            return tyq::app::answerCommandLine(line);
    }
}
