#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/Secrets.h"

namespace tyq::desktop {

// Whether the keyring may ask the user to unlock it: the window may, a run
// without one never does.
enum class Prompting { Never, Allowed };

// The passwords in the desktop's keyring, through its Secret Service: one
// item per password, found by this program's name, the server, the port,
// the user ID and which password it is. Each call opens its own session, so
// a keyring started or stopped meanwhile is seen as it is now.
class Keyring : public settings::SecretStore {
  public:
    explicit Keyring(Prompting prompting) : prompting_(prompting) {}

    // Whether a Secret Service answers on the session bus.
    bool available() override;

    settings::SecretRead read(settings::SecretKind kind, const settings::Mailbox& mailbox) override;
    std::optional<std::string> store(settings::SecretKind kind, const settings::Mailbox& mailbox,
                                     std::string_view value) override;
    std::optional<std::string> remove(settings::SecretKind kind,
                                      const settings::Mailbox& mailbox) override;
    bool unlock() override;

  private:
    Prompting prompting_;
};

// What a person sees in the keyring's own window for the password.
std::string keyringLabel(settings::SecretKind kind, const settings::Mailbox& mailbox);

inline constexpr char kKeyringLockedText[] = "the keyring is locked";
inline constexpr char kNoKeyringText[] = "no desktop keyring answers";
inline constexpr char kNotInKeyringText[] = "the keyring holds no password for this mailbox";

}  // namespace tyq::desktop
