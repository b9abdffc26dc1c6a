#include "app/CUtilityApp.h"
#include "app/Collect.h"
#include "app/CommandLine.h"

int main(int argc, char** argv) {
    using tyq::app::CommandLineAction;
    const auto line = tyq::app::parseCommandLine(argc, argv);
    switch (line.action) {
        case CommandLineAction::RunWindow:
        case CommandLineAction::RunWindowVerbose:
            break;
        case CommandLineAction::Collect:
            return tyq::app::runCollect();
        default:
            // Answered before the toolkit: no display needed, no window.
            return tyq::app::answerCommandLine(line);
    }
    tyq::app::CUtilityApp app;
    return app.run(argc, argv);
}
