#include "desktop/FileManager.h"

#include "common/PercentEncoding.h"
#include "common/SdBus.h"
#include "desktop/Launch.h"

namespace tyq::desktop {
namespace {

bool unreserved(unsigned char byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
           byte == '~' || byte == '/';
}

}  // namespace

std::string folderUri(const std::string& folder) {
    std::string uri = "file://";
    appendPercentEncoded(uri, folder, unreserved);
    return uri;
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
            const Message owned(reply);
            return true;
        }
    }
    // The desktop's handler for folders.
    return launch({"xdg-open", uri}, activationToken, true);
}

}  // namespace tyq::desktop
