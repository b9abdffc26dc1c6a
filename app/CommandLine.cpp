#include "app/CommandLine.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string_view>

#include "app/Collect.h"
#include "common/Paths.h"
#include "desktop/ApplicationService.h"
#include "desktop/DailyTimer.h"

namespace tyq::app {

namespace {

using desktop::isTimeOfDay;
using desktop::schedule;
using desktop::ScheduleOutcome;
using desktop::unschedule;

constexpr char kUsage[] =
    "Usage: tyqlmftp [--help | --version | --verbose]\n"
    "       tyqlmftp --collect [--quiet] [--again NAME]...\n"
    "       tyqlmftp --schedule HH:MM | --no-schedule\n"
    "\n"
    "Collects and unpacks your ORV Mail data files from the FTP mailbox, in one\n"
    "window. Settings: $XDG_CONFIG_HOME/tyqlmftp/TYFTP.INI, by default\n"
    "~/.config/tyqlmftp/TYFTP.INI. See tyqlmftp(1).\n"
    "\n"
    "  --collect         collect once without a window, with the same settings\n"
    "  --quiet           with --collect: say only what went wrong, on standard error\n"
    "  --again NAME      with --collect: fetch NAME again, though collected before\n"
    "  --schedule HH:MM  collect every day at HH:MM, through a timer of your own\n"
    "  --no-schedule     stop collecting every day\n";

constexpr char kBadTime[] =
    "tyqlmftp: --schedule needs a time of day as HH:MM, from 00:00 to 23:59.\n";

constexpr char kNoDisplay[] =
    "tyqlmftp: there is no display to show the window on (neither DISPLAY nor\n"
    "WAYLAND_DISPLAY is set). Start it from a desktop session, or collect without\n"
    "a window: tyqlmftp --collect\n";
// Only for a program run from its build folder, where the script is at hand.
constexpr char kNoDisplayDemo[] = "/script/run --headless runs the demo without a display.\n";

// The program's known options; anything else is named when refused.
constexpr std::string_view kOptions[] = {"--help",     "--version",     "--verbose", "--collect",
                                         "--schedule", "--no-schedule", "--quiet",   "--again"};

constexpr char kVersion[] = "tyqlmftp " TYQ_VERSION "\n";

// A full disk or a closed pipe must not pass for a printed answer.
int print(std::FILE* stream, const char* text, int status) {
    const bool written = std::fputs(text, stream) >= 0;
    return std::fflush(stream) == 0 && written ? status : 1;
}

// What a change of the schedule did goes to standard output, why it failed to
// standard error.
int report(const ScheduleOutcome& outcome) {
    std::string done;
    for (const std::string& line : outcome.done) {
        done += line + "\n";
    }
    const int printed = print(stdout, done.c_str(), 0);
    if (!outcome.ok()) {
        print(stderr, ("tyqlmftp: " + outcome.error + "\n").c_str(), 1);
        return 1;
    }
    return printed;
}

CommandLine asking(CommandLineAction action, std::string time = {}) {
    CommandLine line;
    line.action = action;
    line.time = std::move(time);
    return line;
}

CommandLine badCollect(std::string problem) {
    CommandLine line = asking(CommandLineAction::BadCollect);
    line.problem = std::move(problem);
    return line;
}

// --collect and its own options, in any order: nothing when --collect is not
// there (nor its options).
std::optional<CommandLine> parseCollect(int argc, const char* const* argv) {
    const auto has = [&](std::string_view option) {
        return std::any_of(argv + 1, argv + argc, [&](std::string_view word) {
            return word == option || (word.starts_with(option) && word[option.size()] == '=');
        });
    };
    if (!has("--collect")) {
        for (const char* option : {"--quiet", "--again"}) {
            if (has(option)) {
                return badCollect(std::string(option) + " goes with --collect");
            }
        }
        return std::nullopt;
    }
    CommandLine line = asking(CommandLineAction::Collect);
    bool collect = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--collect" && !collect) {
            collect = true;
        } else if (word == "--quiet") {
            line.collect.quiet = true;
        } else if (word == "--again" || word.starts_with("--again=")) {
            std::string_view name = word.size() > 7 ? word.substr(8) : std::string_view();
            if (word == "--again") {
                name = i + 1 < argc ? std::string_view(argv[++i]) : std::string_view();
            }
            if (name.empty()) {
                return badCollect("--again needs the name of a file in the mailbox");
            }
            line.collect.again.emplace_back(name);
        } else {
            const bool ours = std::find(std::begin(kOptions), std::end(kOptions),
                                        word.substr(0, word.find('='))) != std::end(kOptions);
            CommandLine refused = asking(CommandLineAction::Refuse);
            (word.starts_with('-') && !ours ? refused.unknown : refused.unexpected) = word;
            return refused;
        }
    }
    return line;
}

}  // namespace

CommandLine parseCommandLine(int argc, const char* const* argv) {
    using enum CommandLineAction;
    if (asksForWindow(argc, argv)) {
        return asking(argc <= 1 ? RunWindow : RunWindowVerbose);
    }
    if (auto collect = parseCollect(argc, argv)) {
        return *collect;
    }
    const std::string_view argument = argv[1];
    if (argc == 2) {
        for (const auto& [name, action] : {std::pair{"--help", PrintHelp},
                                           {"--version", PrintVersion},
                                           {"--no-schedule", Unschedule},
                                           {"--gapplication-service", ServeApplication}}) {
            if (argument == name) {
                return asking(action);
            }
        }
        if (argument.starts_with("--schedule=")) {
            const std::string time(argument.substr(argument.find('=') + 1));
            return asking(isTimeOfDay(time) ? Schedule : BadTime, time);
        }
    }
    if (argument == "--schedule" && argc <= 3) {
        const std::string time = argc == 3 ? argv[2] : "";
        return asking(isTimeOfDay(time) ? Schedule : BadTime, time);
    }
    // The first option not of ours, else the first word too many.
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--schedule") {
            ++i;  // its time of day
        } else if (word.starts_with('-') &&
                   std::find(std::begin(kOptions), std::end(kOptions),
                             word.substr(0, word.find('='))) == std::end(kOptions)) {
            CommandLine refused = asking(Refuse);
            refused.unknown = word;
            return refused;
        }
    }
    const int extra = argument == "--schedule" ? 3 : 2;
    CommandLine refused = asking(Refuse);
    refused.unexpected = argv[std::min(extra, argc - 1)];
    return refused;
}

std::filesystem::path sourceTreeOf(const std::filesystem::path& programFolder) {
    std::ifstream cache(programFolder.parent_path() / "CMakeCache.txt");
    constexpr std::string_view kKey = "CMAKE_HOME_DIRECTORY:INTERNAL=";
    for (std::string line; std::getline(cache, line);) {
        if (line.starts_with(kKey)) {
            const std::filesystem::path source = line.substr(kKey.size());
            std::error_code error;
            return std::filesystem::exists(source / "script" / "run", error)
                       ? source
                       : std::filesystem::path();
        }
    }
    return {};
}

int answerCommandLine(const CommandLine& line) {
    switch (line.action) {
        case CommandLineAction::PrintHelp:
            return print(stdout, kUsage, 0);
        case CommandLineAction::PrintVersion:
            return print(stdout, kVersion, 0);
        case CommandLineAction::Collect:
            return runCollect(line.collect);
        case CommandLineAction::Schedule:
            return report(schedule(line.time));
        case CommandLineAction::Unschedule:
            return report(unschedule());
        case CommandLineAction::ServeApplication:
            return desktop::serveApplication(executablePath());
        case CommandLineAction::BadTime:
            print(stderr, kBadTime, 2);
            return 2;
        case CommandLineAction::BadCollect:
            print(stderr, ("tyqlmftp: " + line.problem + "\n").c_str(), 2);
            return 2;
        case CommandLineAction::Refuse:
            if (!line.unknown.empty()) {
                print(stderr, ("tyqlmftp: unknown option '" + line.unknown + "'\n").c_str(), 2);
            } else if (!line.unexpected.empty()) {
                print(stderr, ("tyqlmftp: unexpected argument '" + line.unexpected + "'\n").c_str(),
                      2);
            }
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
    const std::filesystem::path source = sourceTreeOf(executableFolder());
    if (!source.empty()) {
        print(stderr, (source.string() + kNoDisplayDemo).c_str(), 1);
    }
    return 1;
}

}  // namespace tyq::app
