#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "settings/CSettings.h"
#include "settings/ProfileStore.h"
#include "settings/Secrets.h"

namespace tyq::settings {

// Whether the user keeps the passwords in the keyring: the file then keeps
// their keys empty and never receives them.
bool passwordsInKeyring(const ProfileStore& store);
// The mailbox the file names: the server, its port and the user ID.
Mailbox mailboxOf(const ProfileStore& store);

// A password of the mailbox from the keyring, never asking the user.
SecretRead readSecret(const ProfileStore& store, Key key);
// Nothing once the keyring holds the value, else what to tell the user. An
// empty value is never stored over a password the keyring would not show.
std::optional<std::string> storeSecret(const ProfileStore& store, Key key, std::string_view value);

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
