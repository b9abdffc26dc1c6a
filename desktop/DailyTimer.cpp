#include "desktop/DailyTimer.h"

#include <pwd.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/Paths.h"
#include "common/PrivateFile.h"
#include "common/SdBus.h"

namespace tyq::desktop {

namespace fs = std::filesystem;

namespace {

constexpr char kManager[] = "org.freedesktop.systemd1";
constexpr char kManagerPath[] = "/org/freedesktop/systemd1";
constexpr char kManagerInterface[] = "org.freedesktop.systemd1.Manager";
constexpr char kCalendar[] = "OnCalendar=*-*-* ";
constexpr char kWants[] = "timers.target.wants";
// How both of our unit files begin.
constexpr char kOurUnitHead[] = "[Unit]\nDescription=Collect the ORV Mail data files";

// A method of the manager object; the error reply's message, empty on success.
template <typename... Args>
std::string callManager(sd_bus* bus, Message* reply, const char* member, const char* types,
                        Args... args) {
    BusError error;
    sd_bus_message* raw = nullptr;
    const int result = sd_bus_call_method(bus, kManager, kManagerPath, kManagerInterface, member,
                                          error.get(), &raw, types, args...);
    Message owned(raw);
    if (result < 0) {
        const std::string text = error.text(result);
        return text.empty() ? std::string("no reason given") : text;
    }
    if (reply != nullptr) {
        *reply = std::move(owned);
    }
    return {};
}

// The session bus, when the user's service manager is on it: a container or a
// session without systemd has none, and that is no error.
Bus userManager() {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        return nullptr;
    }
    Bus bus(raw);
    BusError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", error.get(), &reply, "s",
                           kManager) < 0) {
        return nullptr;
    }
    const Message owned(reply);
    int present = 0;
    if (sd_bus_message_read(reply, "b", &present) < 0 || present == 0) {
        return nullptr;
    }
    return bus;
}

std::optional<std::chrono::system_clock::time_point> nextRunOn(sd_bus* bus) {
    Message reply;
    if (!callManager(bus, &reply, "GetUnit", "s", kTimerUnit).empty()) {
        return std::nullopt;  // not loaded: nothing is due
    }
    const char* path = nullptr;
    if (sd_bus_message_read(reply.get(), "o", &path) < 0 || path == nullptr) {
        return std::nullopt;
    }
    BusError error;
    std::uint64_t microseconds = 0;
    if (sd_bus_get_property_trivial(bus, kManager, path, "org.freedesktop.systemd1.Timer",
                                    "NextElapseUSecRealtime", error.get(), 't',
                                    &microseconds) < 0) {
        return std::nullopt;
    }
    // 0 means no run ahead; beyond the clock's range means none either.
    using std::chrono::system_clock;
    constexpr auto kLimit =
        std::chrono::duration_cast<std::chrono::microseconds>(system_clock::duration::max())
            .count();
    if (microseconds == 0 || microseconds >= static_cast<std::uint64_t>(kLimit)) {
        return std::nullopt;
    }
    return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(
        std::chrono::microseconds(microseconds)));
}

// The end of a job the manager queued: a started unit's job ends "done", and
// only then does a timer know its next run.
class JobWatch {
  public:
    // Watches before the job is asked for, so that its end cannot be missed.
    explicit JobWatch(sd_bus* bus) : bus_(bus) {
        sd_bus_slot* slot = nullptr;
        if (sd_bus_match_signal(bus, &slot, kManager, kManagerPath, kManagerInterface, "JobRemoved",
                                &JobWatch::removed, this) >= 0) {
            slot_.reset(slot);
        }
    }

    // The job's result ("done", "failed", ...); nothing when the bus failed
    // or no end came within a method call's time.
    std::optional<std::string> wait(std::string job) {
        job_ = std::move(job);
        std::uint64_t limit = 0;
        if (!slot_ || sd_bus_get_method_call_timeout(bus_, &limit) < 0) {
            return std::nullopt;
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::microseconds(limit);
        while (!result_) {
            const int processed = sd_bus_process(bus_, nullptr);
            if (processed < 0) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (processed == 0 && (left.count() <= 0 || sd_bus_wait(bus_, left.count()) < 0)) {
                break;
            }
        }
        return result_;
    }

  private:
    static int removed(sd_bus_message* message, void* data, sd_bus_error*) {
        auto* watch = static_cast<JobWatch*>(data);
        std::uint32_t id = 0;
        const char* path = nullptr;
        const char* unit = nullptr;
        const char* result = nullptr;
        if (sd_bus_message_read(message, "uoss", &id, &path, &unit, &result) >= 0 &&
            watch->job_ == path) {
            watch->result_ = result;
        }
        return 0;
    }

    sd_bus* bus_;
    Slot slot_;
    std::string job_;
    std::optional<std::string> result_;
};

std::string localTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm parts{};
    char text[64] = "";
    if (localtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%a %Y-%m-%d %H:%M %Z", &parts) == 0) {
        return "at an unknown time";
    }
    return text;
}

std::string failure(const std::string& what, const fs::path& path, int error) {
    return "cannot " + what + " " + path.string() + ": " + std::strerror(error);
}

// Every missing folder down to folder, as systemctl would make them.
int makeFolders(const fs::path& folder) {
    fs::path made;
    for (const fs::path& part : folder) {
        made /= part;
        if (::mkdir(made.c_str(), 0755) != 0 && errno != EEXIST) {
            return errno;
        }
    }
    return 0;
}

// Enables the timer the way systemctl does without a manager: a link in
// timers.target.wants, so the manager starts it when the user next logs in.
int linkForNextLogin(const fs::path& folder) {
    const fs::path wants = folder / kWants;
    if (const int failed = makeFolders(wants)) {
        return failed;
    }
    const fs::path link = wants / kTimerUnit;
    const fs::path temporary = wants / ("." + std::string(kTimerUnit) + ".new");
    ::unlink(temporary.c_str());
    if (::symlink((folder / kTimerUnit).c_str(), temporary.c_str()) != 0) {
        return errno;
    }
    if (std::rename(temporary.c_str(), link.c_str()) != 0) {
        const int failed = errno;
        ::unlink(temporary.c_str());
        return failed;
    }
    return 0;
}

// The running program: a package upgrade may have replaced its file since it
// started, and the new file under the old name is the one to run.
fs::path programPath() {
    std::string path = executablePath().string();
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.ends_with(kDeleted) && !fs::exists(path)) {
        path.resize(path.size() - kDeleted.size());
    }
    return path;
}

bool present(const fs::path& path) {
    std::error_code error;
    return fs::exists(fs::symlink_status(path, error));
}

// The first of the two unit files that is there but not one we wrote (ours
// all begin alike), which no change of the schedule may replace or remove.
std::optional<fs::path> foreignUnit(const fs::path& folder) {
    for (const char* name : {kTimerUnit, kServiceUnit}) {
        const fs::path file = folder / name;
        if (!present(file)) {
            continue;
        }
        struct stat info {};
        const RegularFile read = readRegularFile(file, 64 * 1024);
        if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || !read.ok() ||
            !read.text.starts_with(kOurUnitHead)) {
            return file;
        }
    }
    return std::nullopt;
}

std::string foreignFailure(const fs::path& file) {
    return file.string() + " was not written by tyqlmftp: it stays as it is";
}

// Undoes a schedule the manager would not start: the link, the units and the
// manager's view of them, so no half-made timer is left to run or to confuse.
void withdraw(sd_bus* bus, const fs::path& folder) {
    callManager(bus, nullptr, "DisableUnitFiles", "asb", 1, kTimerUnit, 0);
    for (const fs::path& file :
         {folder / kWants / kTimerUnit, folder / kTimerUnit, folder / kServiceUnit}) {
        ::unlink(file.c_str());
    }
    callManager(bus, nullptr, "Reload", "");
}

// As systemctl enable --now: the link, the manager rereads its units (a
// changed time included), then the start. Why it failed; empty when started.
std::string enableAndStart(sd_bus* bus) {
    std::string refused = callManager(bus, nullptr, "EnableUnitFiles", "asbb", 1, kTimerUnit, 0, 1);
    const char* step = "enable";
    if (refused.empty()) {
        refused = callManager(bus, nullptr, "Reload", "");
        step = "reload its units for";
    }
    JobWatch watch(bus);
    Message job;
    if (refused.empty()) {
        refused = callManager(bus, &job, "StartUnit", "ss", kTimerUnit, "replace");
        step = "start";
    }
    if (!refused.empty()) {
        return "the service manager would not " + std::string(step) + " " + kTimerUnit + ": " +
               refused;
    }
    // A queued start is no start yet: a failed one must not pass for one.
    const char* jobPath = nullptr;
    if (sd_bus_message_read(job.get(), "o", &jobPath) >= 0 && jobPath != nullptr) {
        if (const auto result = watch.wait(jobPath); result && *result != "done") {
            return std::string(kTimerUnit) + " did not start (" + *result + ")";
        }
    }
    return {};
}

}  // namespace

bool isTimeOfDay(std::string_view text) {
    const auto digit = [&text](std::size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    if (text.size() != 5 || text[2] != ':' || !digit(0) || !digit(1) || !digit(3) || !digit(4)) {
        return false;
    }
    const int hour = (text[0] - '0') * 10 + (text[1] - '0');
    const int minute = (text[3] - '0') * 10 + (text[4] - '0');
    return hour < 24 && minute < 60;
}

fs::path userUnitFolder() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME");
        config != nullptr && config[0] == '/') {
        return fs::path(config) / "systemd" / "user";
    }
    fs::path home;
    if (const char* env = std::getenv("HOME"); env != nullptr && env[0] != '\0') {
        home = env;
    } else if (const passwd* user = getpwuid(getuid()); user != nullptr) {
        home = user->pw_dir;
    }
    return home / ".config" / "systemd" / "user";
}

std::optional<std::string> serviceUnitText(const fs::path& program) {
    if (!program.is_absolute()) {
        return std::nullopt;
    }
    // Quoted for the spaces. The manager expands specifiers in the path ("%%"
    // is a "%") but takes "$" as it is, and no escaping gets a quote, a
    // backslash or a control character past it.
    std::string quoted = "\"";
    for (const char c : program.native()) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\'' || c == '\\') {
            return std::nullopt;
        }
        if (c == '%') {
            quoted += '%';
        }
        quoted += c;
    }
    quoted += '"';
    return std::string(kOurUnitHead) +
           "\n"
           "\n"
           "[Service]\n"
           "Type=oneshot\n"
           "ExecStart=" +
           quoted +
           " --collect\n"
           "Nice=10\n"
           "IOSchedulingClass=idle\n";
}

std::string timerUnitText(std::string_view time) {
    const std::string at(time);
    return std::string(kOurUnitHead) + " every day at " + at +
           "\n"
           "\n"
           "[Timer]\n" +
           kCalendar + at +
           ":00\n"
           // A run missed while the machine was off comes at the next start;
           // the delay spreads the subscribers' collections over the server.
           "Persistent=true\n"
           "RandomizedDelaySec=5min\n"
           "\n"
           "[Install]\n"
           "WantedBy=timers.target\n";
}

std::optional<std::string> scheduledTime() {
    const RegularFile file = readRegularFile(userUnitFolder() / kTimerUnit, 64 * 1024);
    if (!file.ok()) {
        return std::nullopt;
    }
    for (std::size_t start = 0; start < file.text.size();) {
        const auto end = file.text.find('\n', start);
        const std::string_view line =
            std::string_view(file.text).substr(start, end == std::string::npos ? end : end - start);
        if (line.starts_with(kCalendar)) {
            const std::string_view rest = line.substr(std::strlen(kCalendar));
            if (rest.size() == 8 && rest.ends_with(":00") && isTimeOfDay(rest.substr(0, 5))) {
                return std::string(rest.substr(0, 5));
            }
            return std::nullopt;
        }
        start = end == std::string::npos ? file.text.size() : end + 1;
    }
    return std::nullopt;
}

ScheduleOutcome schedule(std::string_view time) {
    ScheduleOutcome outcome;
    if (!isTimeOfDay(time)) {
        outcome.error =
            "not a time of day as HH:MM (00:00 to 23:59): \"" + std::string(time) + "\"";
        return outcome;
    }
    const fs::path program = programPath();
    const auto service = serviceUnitText(program);
    if (program.empty()) {
        outcome.error = "cannot find the program's own file in /proc/self/exe";
        return outcome;
    }
    if (!service) {
        outcome.error =
            "the service manager cannot run the program from its path (a quote, a backslash or a "
            "control character in it): " +
            program.string();
        return outcome;
    }
    const fs::path folder = userUnitFolder();
    // Without a home folder the path would be relative to wherever we run.
    if (!folder.is_absolute()) {
        outcome.error = "cannot find your home folder for " + folder.string();
        return outcome;
    }
    if (const int failed = makeFolders(folder)) {
        outcome.error = failure("create", folder, failed);
        return outcome;
    }
    if (const auto foreign = foreignUnit(folder)) {
        outcome.error = foreignFailure(*foreign) + ", and no daily collection was scheduled";
        return outcome;
    }
    for (const auto& [name, text] :
         {std::pair{kServiceUnit, *service}, std::pair{kTimerUnit, timerUnitText(time)}}) {
        if (const int failed =
                replaceFile(folder / name, text, "." + std::string(name) + ".", 0644)) {
            outcome.error = failure("write", folder / name, failed);
            return outcome;
        }
    }
    const std::string what = "Daily collection at " + std::string(time);
    const Bus bus = userManager();
    if (!bus) {
        if (const int failed = linkForNextLogin(folder)) {
            ::unlink((folder / kTimerUnit).c_str());
            ::unlink((folder / kServiceUnit).c_str());
            outcome.error = failure("enable", folder / kWants / kTimerUnit, failed);
            return outcome;
        }
        outcome.done = {what + ": " + (folder / kTimerUnit).string() + " written.",
                        kNoServiceManagerHint};
        return outcome;
    }
    if (outcome.error = enableAndStart(bus.get()); !outcome.ok()) {
        withdraw(bus.get(), folder);
        return outcome;
    }
    outcome.done = {what + ": " + kTimerUnit + " enabled and started."};
    if (const auto next = nextRunOn(bus.get())) {
        outcome.done.push_back("Next collection: " + localTime(*next) + ".");
    }
    return outcome;
}

ScheduleOutcome unschedule() {
    ScheduleOutcome outcome;
    const fs::path folder = userUnitFolder();
    const fs::path link = folder / kWants / kTimerUnit;
    const fs::path files[] = {link, folder / kTimerUnit, folder / kServiceUnit};
    if (!folder.is_absolute() || (!present(files[0]) && !present(files[1]) && !present(files[2]))) {
        outcome.done = {"No daily collection was scheduled."};
        return outcome;
    }
    if (const auto foreign = foreignUnit(folder)) {
        outcome.error = foreignFailure(*foreign);
        return outcome;
    }
    const auto time = scheduledTime();
    const std::string what =
        time ? "Daily collection at " + *time : std::string("Daily collection");
    // Each step is tried even when one before it failed: what the user asked
    // for is that nothing runs any more, and the first refusal is reported.
    const Bus bus = userManager();
    std::string refused;
    const auto note = [&refused](const std::string& step, const std::string& message) {
        if (refused.empty() && !message.empty()) {
            refused = "the service manager would not " + step + " " + kTimerUnit + ": " + message;
        }
    };
    if (bus) {
        note("stop", callManager(bus.get(), nullptr, "StopUnit", "ss", kTimerUnit, "replace"));
        note("disable",
             callManager(bus.get(), nullptr, "DisableUnitFiles", "asb", 1, kTimerUnit, 0));
    }
    for (const fs::path& file : files) {
        if (::unlink(file.c_str()) != 0 && errno != ENOENT && outcome.error.empty()) {
            const int failed = errno;
            outcome.error = failure("remove", file, failed);
        }
    }
    if (bus) {
        note("reload its units after removing", callManager(bus.get(), nullptr, "Reload", ""));
    }
    if (outcome.error.empty()) {
        outcome.error = refused;
    }
    if (outcome.ok()) {
        outcome.done = {bus ? what + " removed: " + kTimerUnit + " stopped and disabled."
                            : what + " removed."};
    }
    return outcome;
}

std::optional<std::chrono::system_clock::time_point> nextRun() {
    const Bus bus = userManager();
    return bus ? nextRunOn(bus.get()) : std::nullopt;
}

}  // namespace tyq::desktop
