#include "app/CommandLine.h"

#include <cstdio>
#include <string_view>

namespace tyq::app {

namespace {

constexpr char kUsage[] =
    "Usage: tyqlmftp [--help | --version | --verbose]\n"
    "\n"
    "Collects and unpacks your ORV Mail data files from the FTP mailbox, in one\n"
    "window. Settings: $XDG_CONFIG_HOME/tyqlmftp/TYFTP.INI, by default\n"
    "~/.config/tyqlmftp/TYFTP.INI. See tyqlmftp(1).\n";

constexpr char kNoDisplay[] =
    "tyqlmftp: there is no display to show the window on (neither DISPLAY nor\n"
    "WAYLAND_DISPLAY is set). Start it from a desktop session; script/run --headless\n"
    "runs the demo without a display.\n";

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
        if (argument == "--verbose") {
            return CommandLineAction::RunWindowVerbose;
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
        case CommandLineAction::RunWindowVerbose:
            break;
    }
    return 0;
}

bool displayMissing(const std::function<const char*(const char*)>& getenv) {
    const auto set = [&getenv](const char* name) {
        const char* value = getenv(name);
        return value != nullptr && value[0] != '\0';
    };
    const bool x11 = set("DISPLAY");
    const bool wayland = set("WAYLAND_DISPLAY") || set("WAYLAND_SOCKET");
    const char* chosen = getenv("QT_QPA_PLATFORM");
    if (chosen == nullptr || chosen[0] == '\0') {
        return !x11 && !wayland;
    }
    // A list of platforms is tried in turn; each may carry ":options".
    std::string_view rest = chosen;
    while (!rest.empty()) {
        const auto end = rest.find(';');
        std::string_view platform = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        platform = platform.substr(0, platform.find(':'));
        if (platform == "xcb") {
            if (x11) {
                return false;
            }
        } else if (platform.starts_with("wayland")) {
            if (wayland) {
                return false;
            }
        } else if (!platform.empty()) {
            return false;  // offscreen, vnc, a framebuffer...: no display variable needed
        }
    }
    return true;
}

int answerNoDisplay() {
    print(stderr, kNoDisplay, 1);
    return 1;
}

}  // namespace tyq::app
