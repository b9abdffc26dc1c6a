#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tyq::settings {

// The two passwords a mailbox has.
enum class SecretKind { FtpPassword, ZipPassword };

// Whose passwords: the server, its port and the user ID, as the settings
// file names them.
struct Mailbox {
    std::string host;
    int port = 0;
    std::string user;
};

enum class SecretAnswer {
    Found,
    NotStored,    // the keyring answers, but holds no such password
    Locked,       // the keyring is there, but locked
    Unavailable,  // no keyring answers
};

struct SecretRead {
    SecretAnswer answer = SecretAnswer::Unavailable;
    std::string value;   // when found
    std::string reason;  // in words, when not found
};

// Where the passwords are kept while the settings file keeps them out. The
// desktop's keyring implements it; the settings code knows only this.
class SecretStore {
  public:
    virtual ~SecretStore() = default;
    // Whether a keyring answers now.
    virtual bool available() = 0;
    // Never asks the user.
    virtual SecretRead read(SecretKind kind, const Mailbox& mailbox) = 0;
    // Nothing once the keyring holds the value, else why not.
    virtual std::optional<std::string> store(SecretKind kind, const Mailbox& mailbox,
                                             std::string_view value) = 0;
    // Nothing once the keyring holds no such password, else why not.
    virtual std::optional<std::string> remove(SecretKind kind, const Mailbox& mailbox) = 0;
    // Asks the user to unlock the keyring where the desktop can; whether it
    // is unlocked now.
    virtual bool unlock() { return false; }
};

}  // namespace tyq::settings
