#include "settings/CSettings.h"

#include "settings/Keys.h"

namespace tyq::settings {

CSettings::CSettings(const ProfileStore& store) : store_(store) {}

std::string CSettings::read(const char* key) const {
    return store_.getString(kSection, key, "", kNamedReadCapacity, kNamedReadsFileName);
}

std::string CSettings::user() const {
    return read(kUser);
}

std::string CSettings::password() const {
    return read(kPass);
}

std::string CSettings::zipPassword() const {
    auto value = read(kZipPass);
    scrambleZipPassword(value);
    return value;
}

std::string CSettings::localFolder() const {
    return store_.getString(kSection, kLocal, "", kWholeValueCapacity, kNamedReadsFileName);
}

std::string CSettings::host() const {
    return read(kHost);
}

CommandSave saveForCommand(const ProfileStore& store, std::initializer_list<CommandSetting> values,
                           CommandSave outcome) {
    for (const auto& [key, value, used] : values) {
        const auto failure = store.write(kSection, key, value, kFileName);
        if (!failure) {
            continue;
        }
        if (outcome.failure.empty()) {
            outcome.failure = "Cannot save the settings to " + store.resolve(kFileName).string() +
                              ": " + *failure;
        }
        if (used && store.getString(kSection, key, "", kWholeValueCapacity, kFileName) != value) {
            outcome.blocking = true;
        }
    }
    return outcome;
}

void scrambleZipPassword(std::string& bytes) {
    // Every byte, the key's own included: stopping at a byte that scrambles
    // to zero would cut passwords with ordinary UTF-8 letters in them.
    for (char& c : bytes) {
        c = static_cast<char>(static_cast<unsigned char>(c) ^ 0xA7u);
    }
}

}  // namespace tyq::settings
