#pragma once

#include <string>

#include "settings/ProfileStore.h"

namespace tyq::settings {

// The named reads of the settings file, each with an empty default and a
// 256-byte capacity.
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

// XOR 0xA7 over every byte; applied twice it gives the text back.
void scrambleZipPassword(std::string& bytes);

}  // namespace tyq::settings
