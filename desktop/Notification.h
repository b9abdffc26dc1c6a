#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct sd_bus;

namespace tyq::desktop {

// The program's name on the session bus and the name of its desktop entry
// (without ".desktop"): the notifications point at the entry, and the
// desktop starts the program by that name to act on them.
inline constexpr char kApplicationId[] = "org.tessary.tyqlmftp";
inline constexpr char kOpenFolderAction[] = "open-folder";
inline constexpr char kOpenFolderLabel[] = "Open Folder";
// How long a notification server is waited for: one that does not answer
// holds neither the window nor a collection's end for longer.
inline constexpr std::uint64_t kNotifyLimitMicroseconds = 5'000'000;

// How loudly a notification is shown: a critical one stays until dismissed.
enum class Urgency : std::uint8_t { Normal = 1, Critical = 2 };

// What a notification says.
struct Notice {
    std::string summary;
    std::string body;    // plain text
    std::string folder;  // what a click on it opens; empty: nothing
    bool failure = false;
    // Without one, a failure is critical and anything else normal.
    std::optional<Urgency> urgency;
};

// The parts of a Notify call made from a notice, for any sender.
struct NotifyParts {
    std::string appName;               // the program's display name
    std::vector<std::string> actions;  // key, label, key, label...
    std::string desktopEntry;
    std::uint8_t urgency = 1;  // 1 normal, 2 critical
};
NotifyParts notifyParts(const Notice& notice);

// The key of the action that opens folder: the program's "app.open-folder"
// action with the folder's URI as its target, written as the desktop reads
// a detailed action name: app.open-folder('file:///home/ann/ORV%20Data').
std::string openFolderKey(const std::string& folder);
// The folder URI of such a key; "default" (a click on the notification)
// gives defaultUri. Nothing for any other key.
std::optional<std::string> folderOfAction(const std::string& key, const std::string& defaultUri);

// The text with each byte that is not part of valid UTF-8 replaced by
// U+FFFD: the bus carries nothing else.
std::string validUtf8(const std::string& text);

// Text for a body the server reads as markup.
std::string escapeMarkup(const std::string& text);

// Sends the notice to the desktop's notification server on the session bus
// and returns at once. Without a bus or a server it does nothing.
void notify(const Notice& notice);

// Sends the notice on `bus`, waiting at most `limit` microseconds for the
// server's answer; its id in `id`. Why it failed, or empty.
std::string sendNotice(sd_bus* bus, const Notice& notice, std::uint64_t limit, std::uint32_t* id);

}  // namespace tyq::desktop
