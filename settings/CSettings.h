#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "settings/ProfileStore.h"

namespace tyq::settings {

// The named reads of the settings file, each with an empty default and a
// 256-byte capacity; the local folder is read whole (a cut path would name a
// different folder).
class CSettings {
  public:
    explicit CSettings(const ProfileStore& store);

    std::string user() const;
    std::string password() const;
    // The zip password, unscrambled.
    std::string zipPassword() const;
    std::string localFolder() const;
    std::string host() const;

  private:
    std::string read(const char* key) const;
    const ProfileStore& store_;
};

// One value a command saves before it works. `used`: the command reads it
// back from the file, so it must not run while the file holds another.
struct CommandSetting {
    const char* key;
    std::string_view value;
    bool used;
};

// What became of a command's saves.
struct CommandSave {
    // "Cannot save the settings to <file>: <why>" for the first save that
    // failed; empty when the file holds every value.
    std::string failure;
    // A value the command uses is not the one it is to work with: the
    // command must not run.
    bool blocking = false;
};

// Saves each value in turn in the command's section; a failed save does not
// stop the others. A failure matters to the command only when it leaves a
// used value different in the file.
CommandSave saveForCommand(const ProfileStore& store, std::initializer_list<CommandSetting> values,
                           CommandSave outcome = {});

// XOR 0xA7 over every byte; applied twice it gives the text back.
void scrambleZipPassword(std::string& bytes);

}  // namespace tyq::settings
