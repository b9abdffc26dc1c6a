#include "download/dialup/NetworkManager.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <set>
#include <thread>

#include "common/SdBus.h"
#include "download/dialup/NmNames.h"

namespace tyq::dialup {
namespace {

using namespace std::chrono_literals;
using namespace nm;

// Reads answer quickly or not at all; operations that change a connection may
// wait for the user to authorise them.
constexpr std::chrono::microseconds kReadLimit = 3s;
constexpr std::chrono::microseconds kChangeLimit = 25s;
constexpr auto kPollInterval = 200ms;

struct CallResult {
    Message reply;
    int result = 0;  // negative errno on failure
    std::string error;
};

template <typename... Args>
CallResult call(sd_bus* bus, const char* destination, const char* path, const char* interface,
                const char* member, std::chrono::microseconds limit, bool mayAskUser,
                const char* types, Args... args) {
    CallResult out;
    sd_bus_message* raw = nullptr;
    out.result = sd_bus_message_new_method_call(bus, &raw, destination, path, interface, member);
    if (out.result < 0) {
        out.error = std::strerror(-out.result);
        return out;
    }
    Message message(raw);
    // Never start a service by calling it: a missing service stays missing.
    sd_bus_message_set_auto_start(message.get(), 0);
    if (mayAskUser) {
        sd_bus_message_set_allow_interactive_authorization(message.get(), 1);
    }
    if (types != nullptr) {
        out.result = sd_bus_message_append(message.get(), types, args...);
        if (out.result < 0) {
            out.error = std::strerror(-out.result);
            return out;
        }
    }
    BusError error;
    sd_bus_message* reply = nullptr;
    out.result =
        sd_bus_call(bus, message.get(), static_cast<uint64_t>(limit.count()), error.get(), &reply);
    if (out.result < 0) {
        out.error = error.text(out.result);
        return out;
    }
    out.reply.reset(reply);
    return out;
}

CallResult callManager(sd_bus* bus, const char* path, const char* interface, const char* member,
                       const char* types = nullptr, const char* a = nullptr,
                       const char* b = nullptr, const char* c = nullptr) {
    return call(bus, kService, path, interface, member, kReadLimit, false, types, a, b, c);
}

// Reads a string or object path held in a variant; skips any other value.
int readTextVariant(sd_bus_message* message, std::string& out) {
    char type = 0;
    const char* contents = nullptr;
    int r = sd_bus_message_peek_type(message, &type, &contents);
    if (r < 0) {
        return r;
    }
    if (contents == nullptr ||
        (std::strcmp(contents, "s") != 0 && std::strcmp(contents, "o") != 0)) {
        return sd_bus_message_skip(message, "v");
    }
    const char* text = nullptr;
    r = sd_bus_message_read(message, "v", contents, &text);
    if (r >= 0 && text != nullptr) {
        out = text;
    }
    return r;
}

int readObjectPaths(sd_bus_message* message, std::vector<std::string>& out) {
    int r = sd_bus_message_enter_container(message, 'a', "o");
    if (r < 0) {
        return r;
    }
    const char* path = nullptr;
    while ((r = sd_bus_message_read(message, "o", &path)) > 0) {
        out.emplace_back(path);
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

struct ProfileSettings {
    std::string id;
    std::string type;
    std::string bluetoothType;
};

// Reads a map of text keys (entries of `entry`, "s" and a value, in an array
// of `array`), handing each key to `readValue`, which reads or skips its
// value. Negative errno on failure.
template <typename ReadValue>
int readMap(sd_bus_message* message, const char* array, const char* entry, ReadValue readValue) {
    int r = sd_bus_message_enter_container(message, 'a', array);
    if (r < 0) {
        return r;
    }
    while ((r = sd_bus_message_enter_container(message, 'e', entry)) > 0) {
        const char* key = nullptr;
        if ((r = sd_bus_message_read(message, "s", &key)) < 0) {
            return r;
        }
        r = readValue(key);
        if (r < 0 || (r = sd_bus_message_exit_container(message)) < 0) {
            return r;
        }
    }
    if (r < 0) {
        return r;
    }
    return sd_bus_message_exit_container(message);
}

// An a{sv} map of properties.
template <typename ReadValue>
int readPropertyMap(sd_bus_message* message, ReadValue readValue) {
    return readMap(message, "{sv}", "sv", readValue);
}

// Parses the a{sa{sv}} settings map, keeping what tells the kind and name.
int readProfileSettings(sd_bus_message* message, ProfileSettings& out) {
    return readMap(message, "{sa{sv}}", "sa{sv}", [&](const char* setting) {
        return readPropertyMap(message, [&](const char* key) {
            std::string* target = nullptr;
            if (std::strcmp(setting, "connection") == 0 && std::strcmp(key, "id") == 0) {
                target = &out.id;
            } else if (std::strcmp(setting, "connection") == 0 && std::strcmp(key, "type") == 0) {
                target = &out.type;
            } else if (std::strcmp(setting, "bluetooth") == 0 && std::strcmp(key, "type") == 0) {
                target = &out.bluetoothType;
            }
            return target != nullptr ? readTextVariant(message, *target)
                                     : sd_bus_message_skip(message, "v");
        });
    });
}

// Reads the active connection's State, when it is a number.
int readState(sd_bus_message* message, Active& out) {
    char type = 0;
    const char* contents = nullptr;
    const int r = sd_bus_message_peek_type(message, &type, &contents);
    if (r < 0) {
        return r;
    }
    return contents != nullptr && std::strcmp(contents, "u") == 0
               ? sd_bus_message_read(message, "v", "u", &out.state)
               : sd_bus_message_skip(message, "v");
}

// Reads the active connection's Devices, when they are object paths.
int readDevices(sd_bus_message* message, std::vector<std::string>& devices) {
    int r = sd_bus_message_enter_container(message, 'v', "ao");
    if (r == 0) {
        return sd_bus_message_skip(message, "v");
    }
    if (r > 0 && (r = readObjectPaths(message, devices)) >= 0) {
        r = sd_bus_message_exit_container(message);
    }
    return r;
}

// Parses the active connection's a{sv} properties.
int readActiveProperties(sd_bus_message* message, Active& out, std::vector<std::string>& devices) {
    return readPropertyMap(message, [&](const char* key) {
        if (std::strcmp(key, "Id") == 0) {
            return readTextVariant(message, out.id);
        }
        if (std::strcmp(key, "Type") == 0) {
            return readTextVariant(message, out.type);
        }
        if (std::strcmp(key, "Connection") == 0) {
            return readTextVariant(message, out.profilePath);
        }
        if (std::strcmp(key, "State") == 0) {
            return readState(message, out);
        }
        if (std::strcmp(key, "Devices") == 0) {
            return readDevices(message, devices);
        }
        return sd_bus_message_skip(message, "v");
    });
}

bool timedOut(int result) {
    return result == -ETIMEDOUT;
}

}  // namespace

uint64_t handleOf(std::string_view activePath) {
    constexpr std::string_view prefix = kActivePrefix;
    if (!activePath.starts_with(prefix)) {
        return 0;
    }
    const std::string_view digits = activePath.substr(prefix.size());
    // One spelling per number, so that a handle names exactly one path.
    if (digits.empty() || (digits.size() > 1 && digits.front() == '0')) {
        return 0;
    }
    uint64_t number = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (error != std::errc() || end != digits.data() + digits.size() || number == UINT64_MAX) {
        return 0;
    }
    return number + 1;
}

std::string activePathOf(uint64_t handle) {
    if (handle == 0) {
        return {};
    }
    return kActivePrefix + std::to_string(handle - 1);
}

bool isDialUpType(std::string_view type) {
    return type == "gsm" || type == "cdma" || type == "pppoe" || type == "adsl";
}

NetworkManager::NetworkManager() {
    sd_bus* raw = nullptr;
    const int r = sd_bus_open_system(&raw);
    if (r < 0) {
        lastError_ = std::strerror(-r);
        return;
    }
    bus_.reset(raw);
    // Also bounds the calls sd-bus makes on its own, such as the greeting.
    sd_bus_set_method_call_timeout(raw, static_cast<uint64_t>(kReadLimit.count()));
}

NetworkManager::~NetworkManager() = default;

bool NetworkManager::present() {
    if (!bus_) {
        return false;
    }
    if (!present_) {
        CallResult owner =
            call(bus_.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                 "org.freedesktop.DBus", "NameHasOwner", kReadLimit, false, "s", kService);
        int has = 0;
        if (owner.reply && sd_bus_message_read(owner.reply.get(), "b", &has) >= 0) {
            present_ = has != 0;
        } else {
            lastError_ = owner.error;
            present_ = false;
        }
    }
    return *present_;
}

Listing NetworkManager::list() {
    Listing out;
    if (!present()) {
        out.status = Status::Missing;
        return out;
    }

    CallResult paths =
        callManager(bus_.get(), kSettingsPath, kSettingsInterface, "ListConnections");
    std::vector<std::string> profilePaths;
    if (!paths.reply || readObjectPaths(paths.reply.get(), profilePaths) < 0) {
        lastError_ = paths.error;
        return out;
    }
    std::set<std::string> dunProfiles;
    for (const std::string& path : profilePaths) {
        CallResult settings =
            callManager(bus_.get(), path.c_str(), kProfileInterface, "GetSettings");
        if (timedOut(settings.result)) {
            lastError_ = settings.error;
            return out;
        }
        ProfileSettings profile;
        // A profile we may not read, or one gone meanwhile, is not ours to offer.
        if (!settings.reply || readProfileSettings(settings.reply.get(), profile) < 0) {
            continue;
        }
        const bool dun = profile.type == "bluetooth" && profile.bluetoothType == "dun";
        if (dun) {
            dunProfiles.insert(path);
        }
        if (isDialUpType(profile.type) || dun) {
            out.profiles.push_back({path, profile.id, profile.type});
        }
    }

    CallResult activeList = callManager(bus_.get(), kManagerPath, kPropertiesInterface, "Get", "ss",
                                        kManagerInterface, "ActiveConnections");
    std::vector<std::string> activePaths;
    if (!activeList.reply ||
        sd_bus_message_enter_container(activeList.reply.get(), 'v', "ao") <= 0 ||
        readObjectPaths(activeList.reply.get(), activePaths) < 0) {
        lastError_ = activeList.error;
        return out;
    }
    for (const std::string& path : activePaths) {
        CallResult properties = callManager(bus_.get(), path.c_str(), kPropertiesInterface,
                                            "GetAll", "s", kActiveInterface);
        if (timedOut(properties.result)) {
            lastError_ = properties.error;
            return out;
        }
        Active active;
        std::vector<std::string> devices;
        if (!properties.reply ||
            readActiveProperties(properties.reply.get(), active, devices) < 0) {
            continue;
        }
        const bool dialUp = isDialUpType(active.type) ||
                            (active.type == "bluetooth" && dunProfiles.count(active.profilePath));
        if (!dialUp || (active.state != kStateActivating && active.state != kStateActivated)) {
            continue;
        }
        active.path = path;
        if (!devices.empty()) {
            CallResult name = callManager(bus_.get(), devices.front().c_str(), kPropertiesInterface,
                                          "Get", "ss", kDeviceInterface, "Interface");
            if (name.reply) {
                readTextVariant(name.reply.get(), active.device);
            }
        }
        out.active.push_back(std::move(active));
    }

    // Without a single dial-up profile there is no dial-up service to offer.
    out.status = out.profiles.empty() && out.active.empty() ? Status::Missing : Status::Ok;
    return out;
}

std::optional<uint32_t> NetworkManager::managerNumber(const char* property) {
    if (!present()) {
        return std::nullopt;
    }
    CallResult result = callManager(bus_.get(), kManagerPath, kPropertiesInterface, "Get", "ss",
                                    kManagerInterface, property);
    uint32_t value = 0;
    if (!result.reply || sd_bus_message_read(result.reply.get(), "v", "u", &value) < 0) {
        lastError_ = result.error;
        return std::nullopt;
    }
    return value;
}

std::optional<uint32_t> NetworkManager::connectivity() {
    return managerNumber("Connectivity");
}

std::optional<bool> NetworkManager::metered() {
    const auto value = managerNumber("Metered");
    if (!value) {
        return std::nullopt;
    }
    // NM_METERED_YES and NM_METERED_GUESS_YES.
    return *value == 1 || *value == 3;
}

std::optional<std::string> NetworkManager::activate(const std::string& profilePath) {
    if (!present()) {
        lastError_ = "NetworkManager is not running";
        return std::nullopt;
    }
    CallResult result =
        call(bus_.get(), kService, kManagerPath, kManagerInterface, "ActivateConnection",
             kChangeLimit, true, "ooo", profilePath.c_str(), "/", "/");
    const char* path = nullptr;
    if (!result.reply || sd_bus_message_read(result.reply.get(), "o", &path) < 0 ||
        path == nullptr) {
        lastError_ = result.error.empty() ? "no answer" : result.error;
        return std::nullopt;
    }
    return std::string(path);
}

std::optional<uint32_t> NetworkManager::state(const std::string& activePath) {
    if (!present()) {
        return std::nullopt;
    }
    CallResult result = callManager(bus_.get(), activePath.c_str(), kPropertiesInterface, "Get",
                                    "ss", kActiveInterface, "State");
    uint32_t value = 0;
    if (!result.reply || sd_bus_message_read(result.reply.get(), "v", "u", &value) < 0) {
        lastError_ = result.error;
        return std::nullopt;
    }
    return value;
}

bool NetworkManager::deactivate(const std::string& activePath) {
    if (!present()) {
        lastError_ = "NetworkManager is not running";
        return false;
    }
    CallResult result = call(bus_.get(), kService, kManagerPath, kManagerInterface,
                             "DeactivateConnection", kChangeLimit, true, "o", activePath.c_str());
    if (!result.reply) {
        lastError_ = result.error;
        return false;
    }
    return true;
}

bool NetworkManager::waitUntilUp(const std::string& activePath,
                                 std::chrono::steady_clock::time_point deadline) {
    for (;;) {
        const std::optional<uint32_t> now = state(activePath);
        if (now && *now == kStateActivated) {
            return true;
        }
        if (!now || *now >= kStateDeactivating) {
            lastError_ = "the connection failed";
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            lastError_ = "the connection did not come up in time";
            return false;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

bool NetworkManager::activateAndWait(const std::string& profilePath,
                                     std::chrono::milliseconds limit, std::string& activePath) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::optional<std::string> path = activate(profilePath);
    if (!path) {
        return false;
    }
    activePath = *path;
    return waitUntilUp(activePath, deadline);
}

}  // namespace tyq::dialup
