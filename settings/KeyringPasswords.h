#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/CSettings.h"
#include "settings/ProfileStore.h"
#include "settings/Secrets.h"

namespace tyq::settings {

// A password of the mailbox from the keyring, asking once to unlock a
// locked keyring where the store can ask.
SecretRead readSecretUnlocking(const ProfileStore& store, Key key);

// Each move is whole or not at all: nothing when done (or nothing to do),
// else why not, with the passwords where they were.
// The file is changed only after the keyring confirmed both passwords; the
// plain values are then gone from it.
std::optional<std::string> movePasswordsToKeyring(const ProfileStore& store);
// The passwords back in the file as before, then out of the keyring.
std::optional<std::string> movePasswordsToFile(const ProfileStore& store);
// After the server or port changed: the passwords follow from `before`.
std::optional<std::string> followMailbox(const ProfileStore& store, const Mailbox& before);

}  // namespace tyq::settings
