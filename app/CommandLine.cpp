#include "app/CommandLine.h"

#include <cstdio>
#include <string_view>

namespace tyq::app {

namespace {

constexpr char kUsage[] =
    "Usage: tyqlmftp [--help | --version]\n"
    "\n"
    "Collects and unpacks your ORV Mail data files from the FTP mailbox, in one\n"
    "window. Settings: $XDG_CONFIG_HOME/tyqlmftp/TYFTP.INI, by default\n"
    "~/.config/tyqlmftp/TYFTP.INI. See tyqlmftp(1).\n";

constexpr char kVersion[] = "tyqlmftp " TYQ_VERSION "\n";

// A full disk or a closed pipe must not pass for a printed answer.
int print(std::FILE* stream, const char* text, int status) {
    const bool written = std::fputs(text, stream) >= 0;
    return std::fflush(stream) == 0 && written ? status : 1;
}

}  // namespace

CommandLineAction parseCommandLine(int argc, const char* const* argv) {
    if (argc <= 1) {
        return CommandLineAction::RunWindow;
    }
    if (argc == 2) {
        const std::string_view argument = argv[1];
        if (argument == "--help") {
            return CommandLineAction::PrintHelp;
        }
        if (argument == "--version") {
            return CommandLineAction::PrintVersion;
        }
    }
    return CommandLineAction::Refuse;
}

int answerCommandLine(CommandLineAction action) {
    switch (action) {
        case CommandLineAction::PrintHelp:
            return print(stdout, kUsage, 0);
        case CommandLineAction::PrintVersion:
            return print(stdout, kVersion, 0);
        case CommandLineAction::Refuse:
            print(stderr, kUsage, 2);
            return 2;
        case CommandLineAction::RunWindow:
            break;
    }
    return 0;
}

}  // namespace tyq::app
