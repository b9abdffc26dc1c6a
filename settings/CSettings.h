#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "common/MainWindowPort.h"
#include "settings/ProfileStore.h"
#include "settings/Secrets.h"

namespace tyq::settings {

// Every value the settings file holds, in the section of Keys.h.
enum class Key {
    User,
    Pass,
    ZipPass,
    Local,
    Host,
    Port,
    Aol,
    Encryption,
    Connections,
    CollectOnMetered,
    PasswordsInKeyring,
};

// One way of reading a key: what a missing key gives, and the room the value
// has (in bytes with the terminator; a longer value is cut).
struct KeyRead {
    std::string_view defaultText{};
    std::size_t capacity = 0;
    // The spelling of the file's name this read has always used; every
    // spelling reaches the same file.
    std::string_view fileName{};
};

struct KeyEntry {
    Key key{};
    std::string_view name{};
    // How commands read it: a text, or for a number an integer read of the
    // file name below with this default, brought within [lowest, highest].
    KeyRead read{};
    bool number = false;
    int defaultNumber = 0;
    int lowest = 0;
    int highest = 0;
    // The setup window shows some values in shorter fields, with the default
    // it offers; absent, it reads them as commands do.
    std::optional<KeyRead> setupRead{};
    // Stored XOR-scrambled; reads and writes here take the plain text.
    bool scrambled = false;
    // A password: in the keyring instead of the file while the user keeps
    // it there.
    std::optional<SecretKind> secret{};
};

// The table's row of a key; the table holds every key once.
const KeyEntry& entry(Key key);

// A text key as commands read it; the zip password comes back plain.
std::string read(const ProfileStore& store, Key key);
// A number key as commands read it.
int readNumber(const ProfileStore& store, Key key);
// A text key as the setup window shows it.
std::string readForSetup(const ProfileStore& store, Key key);
// Nothing when the file holds the value (the zip password given plain), else
// why not.
std::optional<std::string> write(const ProfileStore& store, Key key, std::string_view value);

// What a command works with, read together once its saves are made.
struct Snapshot {
    std::string user;
    std::string pass;
    std::string zipPass;  // plain
    std::string local;
    std::string host;
    int port = 0;
    std::string aol;
    std::string encryption;
    int connections = 0;
    // While the passwords are in the keyring: why one of them could not be
    // read (the first that could not), with the password left empty.
    std::optional<SecretRead> secretFailure;
};
// Reads the Step 1 values, then host, port, AOL, encryption and connections.
Snapshot readSnapshot(const ProfileStore& store);

// One value a command saves before it works. `used`: the command reads it
// back from the file, so it must not run while the file holds another.
struct CommandSetting {
    Key key{};
    std::string_view value;
    bool used;
};

// What became of a command's saves.
struct CommandSave {
    // "Cannot save the settings to <file>: <why>" for the first save that
    // failed; empty when the file holds every value. When the command is
    // blocked, what it says.
    std::string failure;
    // A value the command uses is not the one it is to work with: the
    // command must not run.
    bool blocking = false;
};

// Saves each value in turn; a failed save does not stop the others. A
// failure matters to the command only when it leaves a used value different
// in the file.
CommandSave saveForCommand(const ProfileStore& store, std::initializer_list<CommandSetting> values,
                           CommandSave outcome = {});

// How a command treats one of the Step 1 saves.
enum class Save {
    Skip,  // not written
    Kept,  // written for later; the command does not read it back
    Used,  // written and read back by the command
};
struct StepOneSaves {
    Save user = Save::Skip;
    Save pass = Save::Skip;
    Save zipPass = Save::Skip;
    Save local = Save::Skip;
    // "AOL" = "0": the box is not checked.
    Save aolOff = Save::Skip;
};

// The Step 1 fields saved in one batch, in the order User, Pass,
// FileUnZipPass, Local, AOL. A used Location must read back whole as typed,
// else the command is blocked: a cut or changed path names another folder.
CommandSave saveStepOne(const ProfileStore& store, const StepOneTexts& fields,
                        const StepOneSaves& saves, CommandSave outcome = {});

// Said when no keyring can be reached.
inline constexpr char kNoKeyringText[] = "no desktop keyring is available";
// Which of the keyring's passwords a secret key's value is.
SecretKind secretKindOf(Key key);

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

// XOR 0xA7 over every byte; applied twice it gives the text back.
void scrambleZipPassword(std::string& bytes);

}  // namespace tyq::settings
