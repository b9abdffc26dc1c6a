#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The daily collection: a timer of the user's own service manager that runs
// "tyqlmftp --collect". Plain C++ and sd-bus, so that the command line uses it
// before any toolkit starts and the Setup window can use it as it is.
namespace tyq::desktop {

inline constexpr char kTimerUnit[] = "tyqlmftp-collect.timer";
inline constexpr char kServiceUnit[] = "tyqlmftp-collect.service";
// The last line of a schedule written while no service manager runs.
inline constexpr char kNoServiceManagerHint[] =
    "No user service manager is running here: it takes effect at the next login, or with: "
    "systemctl --user enable --now tyqlmftp-collect.timer";

// Whether text is a time of day as HH:MM, two digits each, 00:00 to 23:59.
bool isTimeOfDay(std::string_view text);

// Where the user's own units live: $XDG_CONFIG_HOME/systemd/user when that is
// an absolute path, else ~/.config/systemd/user.
std::filesystem::path userUnitFolder();

// The service that runs program --collect; nothing when the path holds a
// character the service manager refuses in a command's path (a quote, a
// backslash or a control character).
std::optional<std::string> serviceUnitText(const std::filesystem::path& program);
// The timer that starts the service every day at time (HH:MM).
std::string timerUnitText(std::string_view time);

// What a change of the schedule did, in short lines for the user; error says
// why it failed (empty when it did not).
struct ScheduleOutcome {
    std::vector<std::string> done;
    std::string error;
    bool ok() const noexcept { return error.empty(); }
};

// The time the timer file says (HH:MM), or nothing when there is none.
std::optional<std::string> scheduledTime();

// Writes both units (for the running program) and enables and starts the
// timer through the user's service manager on the session bus; without one,
// enables it for the next login. A time that is not HH:MM is refused.
ScheduleOutcome schedule(std::string_view time);

// Stops and disables the timer and removes both units.
ScheduleOutcome unschedule();

// When the service manager will next start the timer; nothing when there is
// no manager, no timer loaded or no run ahead.
std::optional<std::chrono::system_clock::time_point> nextRun();

}  // namespace tyq::desktop
