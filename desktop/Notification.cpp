#include "desktop/Notification.h"

#include <cstring>

#include "common/SdBus.h"
#include "common/Texts.h"
#include "desktop/FileManager.h"

namespace tyq::desktop {
namespace {

constexpr char kNotifications[] = "org.freedesktop.Notifications";
constexpr char kNotificationsPath[] = "/org/freedesktop/Notifications";
constexpr char kDefaultAction[] = "default";

// Whether the notification server reads the body as markup, where a name
// with "&" or "<" from the server would be taken for a tag; nothing when no
// server answers, which is not asked again.
std::optional<bool> bodyIsMarkup(sd_bus* bus, std::string& failure) {
    sd_bus_message* m = nullptr;
    if (const int made = sd_bus_message_new_method_call(bus, &m, kNotifications, kNotificationsPath,
                                                        kNotifications, "GetCapabilities");
        made < 0) {
        failure = std::strerror(-made);
        return std::nullopt;
    }
    const Message call(m);
    BusError error;
    sd_bus_message* reply = nullptr;
    if (const int called =
            sd_bus_call(bus, call.get(), kNotifyLimitMicroseconds, error.get(), &reply);
        called < 0) {
        failure = error.text(called);
        return std::nullopt;
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

}  // namespace

NotifyParts notifyParts(const Notice& notice) {
    NotifyParts parts;
    parts.appName = kProgramCaption;
    parts.desktopEntry = kApplicationId;
    parts.urgency = static_cast<std::uint8_t>(
        notice.urgency.value_or(notice.failure ? Urgency::Critical : Urgency::Normal));
    if (!notice.folder.empty()) {
        // A click on the notification opens the folder too.
        parts.actions = {kDefaultAction, kOpenFolderLabel, openFolderKey(notice.folder),
                         kOpenFolderLabel};
    }
    return parts;
}

std::string openFolderKey(const std::string& folder) {
    // The URI holds no quote nor backslash, and no byte the bus refuses.
    return std::string("app.") + kOpenFolderAction + "('" + folderUri(folder) + "')";
}

std::optional<std::string> folderOfAction(const std::string& key, const std::string& defaultUri) {
    if (key == kDefaultAction) {
        return defaultUri;
    }
    const std::string head = std::string("app.") + kOpenFolderAction + "('";
    if (!key.starts_with(head) || !key.ends_with("')") || key.size() < head.size() + 2) {
        return std::nullopt;
    }
    return key.substr(head.size(), key.size() - head.size() - 2);
}

std::string validUtf8(const std::string& text) {
    std::string valid;
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        // The length a lead byte announces, and the least its code point may be.
        const std::size_t length = byte < 0x80         ? 1
                                   : (byte >> 5) == 6  ? 2
                                   : (byte >> 4) == 14 ? 3
                                   : (byte >> 3) == 30 ? 4
                                                       : 0;
        char32_t point = length == 1 ? byte : byte & (0x7f >> length);
        bool good = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; good && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            good = (next & 0xc0) == 0x80;
            point = (point << 6) | (next & 0x3f);
        }
        constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        good = good && point >= kLeast[length] && point <= 0x10ffff &&
               (point < 0xd800 || point > 0xdfff);
        if (good) {
            valid.append(text, i, length);
            i += length;
        } else {
            valid += "\xef\xbf\xbd";
            ++i;
        }
    }
    return valid;
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

std::string sendNotice(sd_bus* bus, const Notice& notice, std::uint64_t limit, std::uint32_t* id) {
    const NotifyParts parts = notifyParts(notice);
    const std::string plain = validUtf8(notice.body);
    std::string failure;
    const auto markup = bodyIsMarkup(bus, failure);
    if (!markup) {
        return failure;
    }
    const std::string body = *markup ? escapeMarkup(plain) : plain;
    const std::string summary = validUtf8(notice.summary);
    sd_bus_message* m = nullptr;
    int appended = sd_bus_message_new_method_call(bus, &m, kNotifications, kNotificationsPath,
                                                  kNotifications, "Notify");
    const Message call(m);
    // Every part or none: a call missing one would be refused anyway.
    if (appended >= 0) {
        appended = sd_bus_message_append(call.get(), "susss", parts.appName.c_str(), 0u,
                                         kProgramName, summary.c_str(), body.c_str());
    }
    if (appended >= 0) {
        appended = sd_bus_message_open_container(call.get(), 'a', "s");
    }
    for (std::size_t i = 0; appended >= 0 && i < parts.actions.size(); ++i) {
        appended = sd_bus_message_append(call.get(), "s", parts.actions[i].c_str());
    }
    if (appended >= 0) {
        appended = sd_bus_message_close_container(call.get());
    }
    if (appended >= 0) {
        appended =
            sd_bus_message_append(call.get(), "a{sv}i", 2, "desktop-entry", "s",
                                  parts.desktopEntry.c_str(), "urgency", "y", parts.urgency, -1);
    }
    if (appended < 0) {
        return std::strerror(-appended);
    }
    BusError error;
    sd_bus_message* reply = nullptr;
    const int called = sd_bus_call(bus, call.get(), limit, error.get(), &reply);
    if (called < 0) {
        return error.text(called);
    }
    const Message owned(reply);
    const int read = sd_bus_message_read(reply, "u", id);
    return read < 0 ? std::strerror(-read) : std::string();
}

void notify(const Notice& notice) {
    sd_bus* raw = nullptr;
    if (sd_bus_open_user(&raw) < 0) {
        return;  // no session bus: no notification, the run is the same
    }
    const Bus bus(raw);
    // The answer says the server has it; the program may end right after.
    std::uint32_t id = 0;
    sendNotice(bus.get(), notice, kNotifyLimitMicroseconds, &id);
}

}  // namespace tyq::desktop
