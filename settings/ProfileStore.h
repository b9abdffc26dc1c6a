#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tyq::settings {

class SecretStore;

// The private-profile calls over one folder: "[section]" and "key=value" lines
// in a file of that folder, named without regard to letter case.
class ProfileStore {
  public:
    // `secrets` keeps the passwords while the user keeps them out of the file.
    explicit ProfileStore(std::filesystem::path folder,
                          std::shared_ptr<SecretStore> secrets = nullptr);

    // The stored value cut to capacity - 1 bytes, or the default when the
    // section or key is missing (the default is cut the same way). Only a
    // regular file of at most 1 MiB is read; any other reads as missing.
    std::string getString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, std::size_t capacity,
                          std::string_view fileName) const;
    // Optional blanks and sign, then decimal digits up to the first non-digit;
    // a present value that is not a number reads as 0; a missing key gives the
    // default.
    int getInt(std::string_view section, std::string_view key, int defaultValue,
               std::string_view fileName) const;
    // Replaces the key's value or adds the key, the section, the folder and the
    // file; a key that already holds the value is left alone. The file is
    // replaced atomically and kept at mode 0600; a file that is a symbolic
    // link stays one, and its target is replaced. Nothing is written over a
    // file that cannot be read or that its owner made read-only. Callers
    // ignore the result, as they always have; it exists for tests.
    bool writeString(std::string_view section, std::string_view key, std::string_view value,
                     std::string_view fileName) const;
    // The same write, telling why it failed: nothing when the file holds the
    // value, else the reason in words.
    std::optional<std::string> write(std::string_view section, std::string_view key,
                                     std::string_view value, std::string_view fileName) const;

    const std::filesystem::path& folder() const noexcept { return folder_; }
    // Nothing when the program has no keyring to offer.
    SecretStore* secrets() const noexcept { return secrets_.get(); }
    // The file a name stands for, the same for every spelling of it: the name
    // in capitals when that file exists, else the first file of the folder
    // whose name matches in any letter case, in name order, else the name in
    // capitals.
    std::filesystem::path resolve(std::string_view fileName) const;

  private:
    std::filesystem::path folder_;
    std::shared_ptr<SecretStore> secrets_;
};

// $XDG_CONFIG_HOME/tyqlmftp, or ~/.config/tyqlmftp.
std::filesystem::path defaultSettingsFolder();

}  // namespace tyq::settings
