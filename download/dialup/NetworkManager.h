#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/SdBus.h"

namespace tyq::dialup {

// States of an active connection as NetworkManager reports them.
inline constexpr uint32_t kStateActivating = 1;
inline constexpr uint32_t kStateActivated = 2;
inline constexpr uint32_t kStateDeactivating = 3;
inline constexpr uint32_t kStateDeactivated = 4;

// NetworkManager's connectivity: the machine reaches the internet.
inline constexpr uint32_t kConnectivityFull = 4;

// A configured connection profile of a dial-up kind.
struct Profile {
    std::string path;  // settings object path
    std::string id;    // the name the user knows it by
    std::string type;  // "gsm", "cdma", "pppoe", "adsl" or "bluetooth"
};

// An active dial-up connection that is coming up or is up.
struct Active {
    std::string path;  // active-connection object path
    std::string id;
    std::string type;
    std::string profilePath;  // the profile it was activated from
    std::string device;       // interface name of its first device, if known
    uint32_t state = 0;
};

enum class Status {
    Ok,
    Missing,  // no NetworkManager, or no dial-up profile configured at all
    Failed,   // NetworkManager refused or did not answer in time
};

struct Listing {
    Status status = Status::Failed;
    std::vector<Profile> profiles;
    std::vector<Active> active;
};

// Handles carry the active connection's number so that a library loaded anew
// can find it again: number + 1, so 0 never names a connection.
uint64_t handleOf(std::string_view activePath);
std::string activePathOf(uint64_t handle);

// Whether a connection type string names a dial-up kind on its own (Bluetooth
// depends on the profile's own kind, DUN or PAN).
bool isDialUpType(std::string_view type);

// One connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS is honoured) for
// the calls of one operation. Every call is bounded in time; a refusal or a
// time-out is a failed call, never an exception.
class NetworkManager {
  public:
    NetworkManager();
    ~NetworkManager();
    NetworkManager(const NetworkManager&) = delete;
    NetworkManager& operator=(const NetworkManager&) = delete;

    // The bus is reachable and NetworkManager holds its name on it.
    bool present();

    // The dial-up profiles and the dial-up connections activating or up.
    Listing list();

    // NetworkManager's view of the machine's connectivity (its Connectivity
    // property); nothing when it cannot be read.
    std::optional<uint32_t> connectivity();

    // Whether the machine's way out is metered (NetworkManager's Metered
    // property: yes or guessed yes); nothing when it cannot be read.
    std::optional<bool> metered();

    // Starts activating a profile on whatever device suits it; the active
    // connection's path, or nothing (lastError() says why).
    std::optional<std::string> activate(const std::string& profilePath);
    // The state of an active connection; nothing once it has gone.
    std::optional<uint32_t> state(const std::string& activePath);
    bool deactivate(const std::string& activePath);
    // Waits until an active connection is up (true) or has failed, gone or
    // not come up before the deadline (false).
    bool waitUntilUp(const std::string& activePath, std::chrono::steady_clock::time_point deadline);
    // Activates, then waits as above.
    bool activateAndWait(const std::string& profilePath, std::chrono::milliseconds limit,
                         std::string& activePath);

    const std::string& lastError() const noexcept { return lastError_; }

  private:
    // A number property of NetworkManager itself; nothing when it cannot be read.
    std::optional<uint32_t> managerNumber(const char* property);

    Bus bus_;
    std::optional<bool> present_;
    std::string lastError_;
};

}  // namespace tyq::dialup
