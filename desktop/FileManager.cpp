#include "desktop/FileManager.h"

#include <spawn.h>
#include <sys/wait.h>

#include <vector>

#include "common/SdBus.h"

extern char** environ;

namespace tyq::desktop {
namespace {

bool unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
           byte == '~' || byte == '/';
}

// xdg-open with the token in the variables the desktop reads it from.
bool openByHandler(const std::string& uri, const std::string& token) {
    std::vector<std::string> variables;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string_view variable = *entry;
        if (token.empty() || (!variable.starts_with("XDG_ACTIVATION_TOKEN=") &&
                              !variable.starts_with("DESKTOP_STARTUP_ID="))) {
            variables.emplace_back(variable);
        }
    }
    if (!token.empty()) {
        variables.push_back("XDG_ACTIVATION_TOKEN=" + token);
        variables.push_back("DESKTOP_STARTUP_ID=" + token);
    }
    std::vector<char*> environment;
    for (auto& variable : variables) {
        environment.push_back(variable.data());
    }
    environment.push_back(nullptr);
    pid_t child = 0;
    const char* argv[] = {"xdg-open", uri.c_str(), nullptr};
    if (posix_spawnp(&child, "xdg-open", nullptr, nullptr, const_cast<char**>(argv),
                     environment.data()) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::string folderUri(const std::string& folder) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char c : folder) {
        const auto byte = static_cast<unsigned char>(c);
        if (unreserved(byte)) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[byte >> 4];
            uri += kHex[byte & 0x0f];
        }
    }
    return uri;
}

bool showFolder(const std::string& folder, const std::string& activationToken) {
    return showFolderUri(folderUri(folder), activationToken);
}

bool showFolderUri(const std::string& uri, const std::string& activationToken) {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) >= 0) {
        const Bus bus(raw);
        BusError error;
        sd_bus_message* reply = nullptr;
        if (sd_bus_call_method(bus.get(), "org.freedesktop.FileManager1",
                               "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
                               "ShowFolders", error.get(), &reply, "ass", 1, uri.c_str(),
                               activationToken.c_str()) >= 0) {
            sd_bus_message_unref(reply);
            return true;
        }
    }
    return openByHandler(uri, activationToken);
}

}  // namespace tyq::desktop
