#include "desktop/ApplicationService.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/SdBus.h"
#include "desktop/FileManager.h"
#include "desktop/Launch.h"
#include "desktop/Notification.h"

namespace tyq::desktop {
namespace {

constexpr char kInterface[] = "org.freedesktop.Application";
constexpr char kPath[] = "/org/tessary/tyqlmftp";
// How long the service stays for further calls after the last one.
constexpr std::uint64_t kIdleMicroseconds = 10'000'000;

struct Service {
    std::filesystem::path program;
};

// The activation token of a call's platform data ("activation-token", else
// the older "desktop-startup-id"); empty when it has none.
std::string activationToken(sd_bus_message* message) {
    std::string token;
    if (sd_bus_message_enter_container(message, 'a', "{sv}") <= 0) {
        return token;
    }
    while (sd_bus_message_enter_container(message, 'e', "sv") > 0) {
        const char* key = nullptr;
        const char* value = nullptr;
        if (sd_bus_message_read(message, "s", &key) >= 0 &&
            (std::strcmp(key, "activation-token") == 0 ||
             (std::strcmp(key, "desktop-startup-id") == 0 && token.empty())) &&
            sd_bus_message_read(message, "v", "s", &value) > 0) {
            token = value;
        } else {
            sd_bus_message_skip(message, "v");
        }
        sd_bus_message_exit_container(message);
    }
    sd_bus_message_exit_container(message);
    return token;
}

// The window, started as a process of its own; one already open is raised
// by it.
void startWindow(const Service& service, const std::string& token) {
    if (!launch({service.program.string()}, token, false)) {
        std::fprintf(stderr, "tyqlmftp: cannot start the window: %s\n", service.program.c_str());
    }
}

int activate(sd_bus_message* message, void* data, sd_bus_error*) {
    startWindow(*static_cast<Service*>(data), activationToken(message));
    return sd_bus_reply_method_return(message, "");
}

int open(sd_bus_message* message, void* data, sd_bus_error*) {
    // The program opens no files: the window it is.
    sd_bus_message_skip(message, "as");
    startWindow(*static_cast<Service*>(data), activationToken(message));
    return sd_bus_reply_method_return(message, "");
}

int activateAction(sd_bus_message* message, void*, sd_bus_error* error) {
    const char* name = nullptr;
    if (sd_bus_message_read(message, "s", &name) < 0 || std::strcmp(name, kOpenFolderAction) != 0) {
        return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "No action %s",
                                 name != nullptr ? name : "");
    }
    // The folder's file URI, as the notification's action names it; no other
    // kind of address is opened for a caller.
    const char* uri = nullptr;
    if (sd_bus_message_enter_container(message, 'a', "v") <= 0 ||
        sd_bus_message_read(message, "v", "s", &uri) <= 0 || uri == nullptr ||
        std::strncmp(uri, "file:///", 8) != 0) {
        return sd_bus_error_set(error, SD_BUS_ERROR_INVALID_ARGS,
                                "open-folder takes a folder's file:// URI");
    }
    const std::string shown = uri;
    while (sd_bus_message_skip(message, "v") > 0) {
    }
    sd_bus_message_exit_container(message);
    showFolderUri(shown, activationToken(message));
    return sd_bus_reply_method_return(message, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Activate", "a{sv}", "", activate, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Open", "asa{sv}", "", open, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("ActivateAction", "sava{sv}", "", activateAction, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int serveApplication(const std::filesystem::path& program) {
    sd_bus* raw = nullptr;
    if (const int opened = sd_bus_open_user(&raw); opened < 0) {
        std::fprintf(stderr, "tyqlmftp: no session bus: %s\n", std::strerror(-opened));
        return 1;
    }
    const Bus bus(raw);
    Service service{program};
    sd_bus_slot* object = nullptr;
    if (const int added =
            sd_bus_add_object_vtable(bus.get(), &object, kPath, kInterface, kVtable, &service);
        added < 0) {
        std::fprintf(stderr, "tyqlmftp: cannot serve %s: %s\n", kInterface, std::strerror(-added));
        return 1;
    }
    const Slot owned(object);
    if (const int named = sd_bus_request_name(bus.get(), kApplicationId, 0); named < 0) {
        std::fprintf(stderr, "tyqlmftp: cannot take the bus name %s: %s\n", kApplicationId,
                     std::strerror(-named));
        return 1;
    }
    // Calls until the bus has been quiet for a while.
    for (;;) {
        const int processed = sd_bus_process(bus.get(), nullptr);
        if (processed < 0) {
            return 1;
        }
        if (processed > 0) {
            continue;
        }
        if (sd_bus_wait(bus.get(), kIdleMicroseconds) <= 0) {
            // Calls that came while the name was let go are answered still.
            sd_bus_release_name(bus.get(), kApplicationId);
            while (sd_bus_process(bus.get(), nullptr) > 0) {
            }
            return 0;
        }
    }
}

}  // namespace tyq::desktop
