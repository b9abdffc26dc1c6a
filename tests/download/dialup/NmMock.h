#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/TempDir.h"

struct sd_bus;

namespace tyq::test {

// A private D-Bus daemon for one test, optionally with python3-dbusmock's
// NetworkManager template on it. DBUS_SYSTEM_BUS_ADDRESS points at the private
// bus while the object lives, so nothing reaches the machine's real bus. Both
// processes are stopped by their process ids.
class NmMock {
  public:
    enum class Start { BusOnly, WithNetworkManager };
    // serviceFolder: where the bus finds the services it starts on demand;
    // empty: it starts none.
    explicit NmMock(Start start = Start::WithNetworkManager, std::string serviceFolder = {});
    ~NmMock();
    NmMock(const NmMock&) = delete;
    NmMock& operator=(const NmMock&) = delete;

    const std::string& address() const { return address_; }

    // A connection profile; bluetoothType adds a "bluetooth" setting.
    std::string addProfile(const std::string& id, const std::string& type,
                           const std::string& bluetoothType = {});
    // Activates a profile as NetworkManager would (it is up at once).
    std::string activate(const std::string& profilePath);
    // An active connection in any state, for states activate() never gives.
    std::string addActive(const std::string& profilePath, uint32_t state);
    std::vector<std::string> activeConnections();
    // Moves an active connection to another state, as a modem coming up would.
    void setActiveState(const std::string& activePath, uint32_t state);
    // NetworkManager's Connectivity property (the template starts at full).
    void setConnectivity(uint32_t connectivity);
    // NetworkManager's Metered property (1 yes, 2 no, 3 guess yes, 4 guess no).
    void setMetered(uint32_t metered);
    // Replaces a method of the manager object with Python code.
    void replaceManagerMethod(const std::string& name, const std::string& inSignature,
                              const std::string& outSignature, const std::string& code);
    void replaceSettingsMethod(const std::string& name, const std::string& inSignature,
                               const std::string& outSignature, const std::string& code);

  private:
    void startBus(const std::string& serviceFolder);
    void startNetworkManager();
    sd_bus* client();

    TempDir folder_;
    std::string address_;
    std::optional<std::string> savedAddress_;
    pid_t busPid_ = -1;
    pid_t mockPid_ = -1;
    sd_bus* client_ = nullptr;
    int nextActive_ = 100;
    bool meteredAdded_ = false;
};

}  // namespace tyq::test
