#include "NmMock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "download/dialup/NmNames.h"

extern char** environ;

namespace tyq::test {
namespace {

using namespace std::chrono_literals;
using namespace dialup::nm;

constexpr char kMockInterface[] = "org.freedesktop.DBus.Mock";
// Start-up of the mock's Python interpreter may be slow on a loaded machine.
constexpr auto kStartLimit = 60s;

void fail(const std::string& what) {
    throw std::runtime_error("NmMock: " + what);
}

void stopProcess(pid_t& pid) {
    if (pid <= 0) {
        return;
    }
    kill(pid, SIGTERM);
    for (int i = 0; i < 500; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            pid = -1;
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

class Reply {
  public:
    explicit Reply(sd_bus_message* message) : message_(message) {}
    ~Reply() { sd_bus_message_unref(message_); }
    Reply(const Reply&) = delete;
    Reply& operator=(const Reply&) = delete;
    sd_bus_message* get() const { return message_; }

  private:
    sd_bus_message* message_;
};

template <typename... Args>
Reply call(sd_bus* bus, const char* path, const char* interface, const char* member,
           const char* types, Args... args) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r =
        sd_bus_call_method(bus, kService, path, interface, member, &error, &reply, types, args...);
    if (r < 0) {
        const std::string text = error.message != nullptr ? error.message : std::strerror(-r);
        sd_bus_error_free(&error);
        fail(std::string(member) + ": " + text);
    }
    return Reply(reply);
}

std::string readPath(const Reply& reply, const char* type) {
    const char* path = nullptr;
    if (sd_bus_message_read(reply.get(), type, &path) < 0 || path == nullptr) {
        fail("unexpected reply");
    }
    return path;
}

}  // namespace

NmMock::NmMock(Start start, std::string serviceFolder) {
    if (const char* old = getenv("DBUS_SYSTEM_BUS_ADDRESS")) {
        savedAddress_ = old;
    }
    try {
        startBus(serviceFolder);
        setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
        if (start == Start::WithNetworkManager) {
            startNetworkManager();
        }
    } catch (...) {
        stopProcess(mockPid_);
        stopProcess(busPid_);
        throw;
    }
}

NmMock::~NmMock() {
    if (client_ != nullptr) {
        sd_bus_flush_close_unref(client_);
    }
    stopProcess(mockPid_);
    stopProcess(busPid_);
    if (savedAddress_) {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", savedAddress_->c_str(), 1);
    } else {
        unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
}

void NmMock::startBus(const std::string& serviceFolder) {
    // Our own configuration: services started only from serviceFolder,
    // anyone may own any name.
    writeFile(folder_ / "bus.conf",
              "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
              " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
              "<busconfig>\n  <type>session</type>\n  <listen>unix:dir=" +
                  folder_.path().string() + "</listen>\n  <auth>EXTERNAL</auth>\n" +
                  (serviceFolder.empty() ? std::string()
                                         : "  <servicedir>" + serviceFolder + "</servicedir>\n") +
                  "  <policy context=\"default\">\n"
                  "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                  "    <allow eavesdrop=\"true\"/>\n    <allow own=\"*\"/>\n"
                  "  </policy>\n</busconfig>\n");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        fail("pipe");
    }
    const std::string config = "--config-file=" + (folder_ / "bus.conf").string();
    const char* argv[] = {"dbus-daemon", config.c_str(), "--nofork", "--print-address=1", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    const std::string log = (folder_ / "bus.log").string();
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int spawned = posix_spawnp(&busPid_, "dbus-daemon", &actions, nullptr,
                                     const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        busPid_ = -1;
        fail("cannot start dbus-daemon");
    }
    std::string line;
    char byte = 0;
    pollfd waitFor{pipeFds[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos &&
           poll(&waitFor, 1, static_cast<int>(std::chrono::milliseconds(kStartLimit).count())) >
               0 &&
           read(pipeFds[0], &byte, 1) == 1) {
        line += byte;
    }
    close(pipeFds[0]);
    if (line.empty() || line.back() != '\n') {
        fail("dbus-daemon gave no address");
    }
    line.pop_back();
    address_ = line;
}

void NmMock::startNetworkManager() {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "DBUS_SYSTEM_BUS_ADDRESS=", 24) != 0) {
            environment.emplace_back(*entry);
        }
    }
    environment.push_back("DBUS_SYSTEM_BUS_ADDRESS=" + address_);
    std::vector<char*> envp;
    for (std::string& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    const std::string log = (folder_ / "mock.log").string();
    const char* argv[] = {"/usr/bin/python3", "-m",   "dbusmock", "--template",
                          "networkmanager",   nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&mockPid_, argv[0], &actions, nullptr,
                                    const_cast<char* const*>(argv), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        mockPid_ = -1;
        fail("cannot start python3-dbusmock");
    }
    const auto deadline = std::chrono::steady_clock::now() + kStartLimit;
    for (;;) {
        int owned = 0;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(client(), "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                               kService) >= 0) {
            sd_bus_message_read(reply, "b", &owned);
        }
        sd_bus_message_unref(reply);
        if (owned) {
            break;
        }
        if (waitpid(mockPid_, nullptr, WNOHANG) == mockPid_) {
            mockPid_ = -1;
            fail("python3-dbusmock ended: " + readFile(log));
        }
        if (std::chrono::steady_clock::now() > deadline) {
            fail("python3-dbusmock did not start");
        }
        std::this_thread::sleep_for(20ms);
    }
    // NetworkManager's DeactivateConnection of the template needs a device.
    call(client(), "/org/freedesktop", kMockInterface, "AddEthernetDevice", "ssi", "eth0", "eth0",
         30);
}

sd_bus* NmMock::client() {
    if (client_ == nullptr) {
        sd_bus* bus = nullptr;
        if (sd_bus_new(&bus) < 0) {
            fail("sd_bus_new");
        }
        if (sd_bus_set_address(bus, address_.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 ||
            sd_bus_start(bus) < 0) {
            sd_bus_unref(bus);
            fail("cannot connect to the private bus");
        }
        client_ = bus;
    }
    return client_;
}

std::string NmMock::addProfile(const std::string& id, const std::string& type,
                               const std::string& bluetoothType) {
    if (bluetoothType.empty()) {
        return readPath(
            call(client(), kSettingsPath, kSettingsInterface, "AddConnection", "a{sa{sv}}", 1,
                 "connection", 2, "id", "s", id.c_str(), "type", "s", type.c_str()),
            "o");
    }
    return readPath(call(client(), kSettingsPath, kSettingsInterface, "AddConnection", "a{sa{sv}}",
                         2, "connection", 2, "id", "s", id.c_str(), "type", "s", type.c_str(),
                         "bluetooth", 1, "type", "s", bluetoothType.c_str()),
                    "o");
}

std::string NmMock::activate(const std::string& profilePath) {
    return readPath(call(client(), kManagerPath, kManagerInterface, "ActivateConnection", "ooo",
                         profilePath.c_str(), "/", "/"),
                    "o");
}

std::string NmMock::addActive(const std::string& profilePath, uint32_t state) {
    const std::string name = std::to_string(nextActive_++);
    return readPath(call(client(), "/org/freedesktop", kMockInterface, "AddActiveConnection",
                         "assssu", 0, profilePath.c_str(), "/", name.c_str(), state),
                    "s");
}

std::vector<std::string> NmMock::activeConnections() {
    Reply reply = call(client(), kManagerPath, kPropertiesInterface, "Get", "ss", kManagerInterface,
                       "ActiveConnections");
    std::vector<std::string> out;
    if (sd_bus_message_enter_container(reply.get(), 'v', "ao") <= 0 ||
        sd_bus_message_enter_container(reply.get(), 'a', "o") <= 0) {
        fail("ActiveConnections: unexpected reply");
    }
    const char* path = nullptr;
    while (sd_bus_message_read(reply.get(), "o", &path) > 0) {
        out.emplace_back(path);
    }
    return out;
}

void NmMock::setActiveState(const std::string& activePath, uint32_t state) {
    call(client(), "/org/freedesktop", kMockInterface, "SetProperty", "sssv", activePath.c_str(),
         kActiveInterface, "State", "u", state);
}

void NmMock::setConnectivity(uint32_t connectivity) {
    call(client(), "/org/freedesktop", kMockInterface, "SetConnectivity", "u", connectivity);
}

void NmMock::setMetered(uint32_t metered) {
    // The template has no such property until it is added.
    if (!meteredAdded_) {
        call(client(), kManagerPath, kMockInterface, "AddProperty", "ssv", kManagerInterface,
             "Metered", "u", metered);
        meteredAdded_ = true;
        return;
    }
    call(client(), kManagerPath, kPropertiesInterface, "Set", "ssv", kManagerInterface, "Metered",
         "u", metered);
}

void NmMock::replaceManagerMethod(const std::string& name, const std::string& inSignature,
                                  const std::string& outSignature, const std::string& code) {
    call(client(), kManagerPath, kMockInterface, "AddMethod", "sssss", kManagerInterface,
         name.c_str(), inSignature.c_str(), outSignature.c_str(), code.c_str());
}

void NmMock::replaceSettingsMethod(const std::string& name, const std::string& inSignature,
                                   const std::string& outSignature, const std::string& code) {
    call(client(), kSettingsPath, kMockInterface, "AddMethod", "sssss", kSettingsInterface,
         name.c_str(), inSignature.c_str(), outSignature.c_str(), code.c_str());
}

}  // namespace tyq::test
