#include "app/Collect.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <stop_token>
#include <thread>

#include "app/Collection.h"
#include "common/Paths.h"
#include "common/SdBus.h"
#include "common/Texts.h"
#include "desktop/Keyring.h"
#include "download/CollectState.h"
#include "download/dialup/NetworkManager.h"
#include "settings/ProfileStore.h"

extern char** environ;

namespace tyq::app {
namespace {

constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
constexpr char kOpenFolder[] = "open-folder";
// How long a notification's Open Folder stays live after the collection.
constexpr auto kActionWait = std::chrono::minutes(10);

// SIGINT, SIGTERM and SIGHUP stop the collection instead of ending the
// process mid-file. Blocked in every thread (the helpers inherit the mask)
// and taken by one thread of its own.
class StopOnSignals {
  public:
    StopOnSignals() {
        sigemptyset(&set_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&set_, signal);
        }
        pthread_sigmask(SIG_BLOCK, &set_, &previous_);
        watcher_ = std::jthread([this](std::stop_token own) {
            const timespec tick{0, 200'000'000};
            while (!own.stop_requested()) {
                if (sigtimedwait(&set_, nullptr, &tick) > 0) {
                    stop_.request_stop();
                }
            }
        });
    }
    ~StopOnSignals() {
        watcher_.request_stop();
        // Wakes the watcher now rather than at its next tick, which every
        // collection would otherwise wait for on its way out.
        pthread_kill(watcher_.native_handle(), SIGHUP);
        watcher_.join();
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;
    std::stop_token token() const { return stop_.get_token(); }

  private:
    sigset_t set_{};
    sigset_t previous_{};
    std::stop_source stop_;
    std::jthread watcher_;
};

// The Location in the file manager: its FileManager1 service, else the
// desktop's handler for folders.
void showFolder(sd_bus* bus, const std::string& folder) {
    BusError error;
    sd_bus_message* reply = nullptr;
    const std::string uri = "file://" + folder;
    if (sd_bus_call_method(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowFolders", error.get(), &reply,
                           "ass", 1, uri.c_str(), "") >= 0) {
        sd_bus_message_unref(reply);
        return;
    }
    pid_t child = 0;
    const char* argv[] = {"xdg-open", folder.c_str(), nullptr};
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, const_cast<char**>(argv), environ) ==
        0) {
        waitpid(child, nullptr, 0);
    }
}

struct ActionWatch {
    std::uint32_t id = 0;
    bool done = false;
    bool open = false;
};

int onSignal(sd_bus_message* message, void* data, sd_bus_error*) {
    auto* watch = static_cast<ActionWatch*>(data);
    std::uint32_t id = 0;
    if (sd_bus_message_read(message, "u", &id) < 0 || id != watch->id) {
        return 0;
    }
    if (sd_bus_message_is_signal(message, kNotifications, "ActionInvoked")) {
        const char* key = nullptr;
        watch->open = sd_bus_message_read(message, "s", &key) >= 0 && key != nullptr &&
                      std::string(key) == kOpenFolder;
    }
    watch->done = true;
    return 0;
}

// Whether the notification server reads the body as markup, where a name
// with "&" or "<" from the server would be taken for a tag.
bool bodyIsMarkup(sd_bus* bus) {
    BusError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call_method(bus, kNotifications, kNotificationsPath, kNotifications,
                           "GetCapabilities", error.get(), &reply, "") < 0) {
        return false;
    }
    const Message owned(reply);
    if (sd_bus_message_enter_container(reply, 'a', "s") < 0) {
        return false;
    }
    const char* capability = nullptr;
    while (sd_bus_message_read(reply, "s", &capability) > 0) {
        if (std::string(capability) == "body-markup") {
            return true;
        }
    }
    return false;
}

std::string escapeMarkup(const std::string& text) {
    std::string escaped;
    for (const char c : text) {
        switch (c) {
            case '&':
                escaped += "&amp;";
                break;
            case '<':
                escaped += "&lt;";
                break;
            case '>':
                escaped += "&gt;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

// Tells the desktop what the collection brought or why it failed. With an
// "Open Folder" action only when waiting for it is worth it: when nothing
// but the timer is waiting for this process.
void notify(const CollectSummary& summary, const std::stop_token& stop) {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        return;  // no session bus: no notification, the run is the same
    }
    const Bus bus(raw);
    std::string title;
    std::string body;
    if (summary.status == CollectStatus::Done ||
        (!summary.newFiles.empty() && summary.status != CollectStatus::Refused)) {
        const auto count = summary.newFiles.size();
        title = std::to_string(count) + (count == 1 ? " new file" : " new files") +
                " from the ORV mailbox";
        for (std::size_t i = 0; i < count && i < 5; ++i) {
            body += (i == 0 ? "" : "\n") + summary.newFiles[i];
        }
        if (count > 5) {
            body += "\nand " + std::to_string(count - 5) + " more";
        }
        // New files do not make up for what went wrong with them.
        if (summary.status != CollectStatus::Done) {
            body += "\n" + summary.headline;
        }
    } else {
        title = "The ORV mailbox could not be collected";
        body = summary.headline + (summary.hint.empty() ? "" : "\n" + summary.hint);
    }
    if (bodyIsMarkup(bus.get())) {
        body = escapeMarkup(body);
    }
    bool withAction = !summary.folder.empty() && isatty(STDIN_FILENO) == 0;
    // The click and the closing are heard before the action is offered: a
    // button nobody listens to would keep the process waiting for nothing.
    ActionWatch watch;
    Slot slots[2];
    for (int i = 0; i < 2 && withAction; ++i) {
        sd_bus_slot* slot = nullptr;
        withAction = sd_bus_match_signal(
                         bus.get(), &slot, kNotifications, kNotificationsPath, kNotifications,
                         i == 0 ? "ActionInvoked" : "NotificationClosed", onSignal, &watch) >= 0;
        slots[i].reset(slot);
    }
    Message call;
    {
        sd_bus_message* m = nullptr;
        if (sd_bus_message_new_method_call(bus.get(), &m, kNotifications, kNotificationsPath,
                                           kNotifications, "Notify") < 0) {
            return;
        }
        call.reset(m);
    }
    sd_bus_message_append(call.get(), "susss", kProgramName, 0u, kProgramName, title.c_str(),
                          body.c_str());
    if (withAction) {
        sd_bus_message_append(call.get(), "as", 2, kOpenFolder, "Open Folder");
    } else {
        sd_bus_message_append(call.get(), "as", 0);
    }
    sd_bus_message_open_container(call.get(), 'a', "{sv}");
    sd_bus_message_close_container(call.get());
    sd_bus_message_append(call.get(), "i", -1);
    BusError error;
    sd_bus_message* reply = nullptr;
    if (sd_bus_call(bus.get(), call.get(), 0, error.get(), &reply) < 0) {
        return;
    }
    const Message owned(reply);
    if (sd_bus_message_read(reply, "u", &watch.id) < 0 || !withAction) {
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + kActionWait;
    while (!watch.done && !stop.stop_requested() && std::chrono::steady_clock::now() < deadline) {
        if (sd_bus_process(bus.get(), nullptr) > 0) {
            continue;
        }
        // A short wait, so a stop is heard soon.
        sd_bus_wait(bus.get(), 500'000);
    }
    if (watch.open) {
        showFolder(bus.get(), summary.folder);
    }
}

}  // namespace

int runCollect() {
    const StopOnSignals signals;
    CollectEnvironment env;
    env.settingsFolder = settings::defaultSettingsFolder();
    env.stateFolder = download::CollectState::defaultFolder();
    env.libraryFolder = executableFolder();
    env.out = &std::cout;
    env.stop = signals.token();
    env.metered = [] { return dialup::NetworkManager().metered(); };
    const auto stop = env.stop;
    env.notify = [stop](const CollectSummary& summary) { notify(summary, stop); };
    env.secrets = std::make_shared<desktop::Keyring>(desktop::Prompting::Never);
    return static_cast<int>(collect(env));
}

}  // namespace tyq::app
