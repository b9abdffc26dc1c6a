#include "settings/CSettings.h"

#include <algorithm>
#include <climits>
#include <span>
#include <vector>

#include "settings/Keys.h"

namespace tyq::settings {
namespace {

// Reads named after the Step 1 fields have always spelled the file this way.
constexpr KeyRead kNamedRead{"", 256, kNamedReadsFileName};
// A number's text, for a read that wants it as written.
constexpr KeyRead kNumberText{"", kWholeValueCapacity, kFileName};

// A choice stored as 0 (off, the default) or 1.
constexpr KeyEntry onOff(Key key, std::string_view name) {
    return {.key = key,
            .name = name,
            .read = kNumberText,
            .number = true,
            .defaultNumber = 0,
            .lowest = 0,
            .highest = 1};
}

constexpr KeyEntry kTable[] = {
    {.key = Key::User, .name = kUser, .read = kNamedRead},
    {.key = Key::Pass, .name = kPass, .read = kNamedRead, .secret = SecretKind::FtpPassword},
    {.key = Key::ZipPass,
     .name = kZipPass,
     .read = kNamedRead,
     .scrambled = true,
     .secret = SecretKind::ZipPassword},
    // Whole: a cut path would name a different folder.
    {.key = Key::Local, .name = kLocal, .read = {"", kWholeValueCapacity, kNamedReadsFileName}},
    {.key = Key::Host,
     .name = kHost,
     .read = kNamedRead,
     .setupRead = KeyRead{TYQ_DEFAULT_HOST, 128, kFileName}},
    {.key = Key::Port,
     .name = kPort,
     .read = kNumberText,
     .number = true,
     .defaultNumber = kDefaultPort,
     .lowest = INT_MIN,
     .highest = INT_MAX,
     .setupRead = KeyRead{kDefaultPortText, 8, kFileName}},
    // Only its first character counts.
    {.key = Key::Aol, .name = kAol, .read = {"", 10, kFileName}},
    {.key = Key::Encryption, .name = kEncryption, .read = {"", kWholeValueCapacity, kFileName}},
    {.key = Key::Connections,
     .name = kConnections,
     .read = kNumberText,
     .number = true,
     .defaultNumber = kDefaultConnections,
     .lowest = 1,
     .highest = kMaxConnections},
    onOff(Key::CollectOnMetered, kCollectOnMetered),
    onOff(Key::PasswordsInKeyring, kPasswordsInKeyring),
};
static_assert(
    [] {
        for (std::size_t i = 0; i < std::size(kTable); ++i) {
            if (kTable[i].key != static_cast<Key>(i)) {
                return false;
            }
        }
        return true;
    }(),
    "the table is indexed by Key");

// A password from the keyring, cut as the file's value would be.
std::string cut(std::string value, const KeyRead& how) {
    if (value.size() >= how.capacity) {
        value.resize(how.capacity > 0 ? how.capacity - 1 : 0);
    }
    return value;
}

std::string readText(const ProfileStore& store, const KeyEntry& key, const KeyRead& how) {
    if (key.secret && passwordsInKeyring(store)) {
        return cut(readSecret(store, key.key).value, how);
    }
    auto value = store.getString(kSection, key.name, how.defaultText, how.capacity, how.fileName);
    if (key.scrambled) {
        scrambleZipPassword(value);
    }
    return value;
}

std::string cannotSave(const ProfileStore& store, const std::string& why) {
    return "Cannot save the settings to " + store.resolve(kFileName).string() + ": " + why;
}

CommandSave saveAll(const ProfileStore& store, std::span<const CommandSetting> values,
                    CommandSave outcome) {
    for (const auto& [key, value, used] : values) {
        const KeyEntry& stored = entry(key);
        if (stored.secret && passwordsInKeyring(store)) {
            // Not in the file: a value the keyring did not take is not there.
            if (const auto failure = storeSecret(store, key, value)) {
                if (outcome.failure.empty()) {
                    outcome.failure = *failure;
                }
                outcome.blocking = outcome.blocking || used;
            }
            continue;
        }
        std::string bytes(value);
        if (stored.scrambled) {
            scrambleZipPassword(bytes);
        }
        const auto failure = store.write(kSection, stored.name, bytes, kFileName);
        if (!failure) {
            continue;
        }
        if (outcome.failure.empty()) {
            outcome.failure = cannotSave(store, *failure);
        }
        if (used &&
            store.getString(kSection, stored.name, "", kWholeValueCapacity, kFileName) != bytes) {
            outcome.blocking = true;
        }
    }
    return outcome;
}

}  // namespace

const KeyEntry& entry(Key key) {
    return kTable[static_cast<std::size_t>(key)];
}

std::string read(const ProfileStore& store, Key key) {
    const KeyEntry& e = entry(key);
    return readText(store, e, e.read);
}

int readNumber(const ProfileStore& store, Key key) {
    const KeyEntry& e = entry(key);
    return std::clamp(store.getInt(kSection, e.name, e.defaultNumber, e.read.fileName), e.lowest,
                      e.highest);
}

std::string readForSetup(const ProfileStore& store, Key key) {
    const KeyEntry& e = entry(key);
    return readText(store, e, e.setupRead.value_or(e.read));
}

std::optional<std::string> write(const ProfileStore& store, Key key, std::string_view value) {
    const KeyEntry& e = entry(key);
    if (e.secret && passwordsInKeyring(store)) {
        return storeSecret(store, key, value);
    }
    std::string bytes(value);
    if (e.scrambled) {
        scrambleZipPassword(bytes);
    }
    return store.write(kSection, e.name, bytes, kFileName);
}

Snapshot readSnapshot(const ProfileStore& store) {
    Snapshot values;
    values.user = read(store, Key::User);
    if (passwordsInKeyring(store)) {
        for (auto [key, value] :
             {std::pair{Key::Pass, &values.pass}, std::pair{Key::ZipPass, &values.zipPass}}) {
            auto answer = readSecret(store, key);
            *value = cut(answer.value, entry(key).read);
            if (answer.answer != SecretAnswer::Found && !values.secretFailure) {
                values.secretFailure = std::move(answer);
            }
        }
    } else {
        values.pass = read(store, Key::Pass);
        values.zipPass = read(store, Key::ZipPass);
    }
    values.local = read(store, Key::Local);
    values.host = read(store, Key::Host);
    values.port = readNumber(store, Key::Port);
    values.aol = read(store, Key::Aol);
    values.encryption = read(store, Key::Encryption);
    values.connections = readNumber(store, Key::Connections);
    return values;
}

CommandSave saveForCommand(const ProfileStore& store, std::initializer_list<CommandSetting> values,
                           CommandSave outcome) {
    return saveAll(store, {values.begin(), values.size()}, std::move(outcome));
}

CommandSave saveStepOne(const ProfileStore& store, const StepOneTexts& fields,
                        const StepOneSaves& saves, CommandSave outcome) {
    const std::pair<Key, Save> order[] = {{Key::User, saves.user},
                                          {Key::Pass, saves.pass},
                                          {Key::ZipPass, saves.zipPass},
                                          {Key::Local, saves.local},
                                          {Key::Aol, saves.aolOff}};
    const std::string_view texts[] = {fields.user, fields.pass, fields.zipPass, fields.local, "0"};
    std::vector<CommandSetting> batch;
    for (std::size_t i = 0; i < std::size(order); ++i) {
        if (order[i].second != Save::Skip) {
            batch.push_back({order[i].first, texts[i], order[i].second == Save::Used});
        }
    }
    outcome = saveAll(store, batch, std::move(outcome));
    if (saves.local == Save::Used && !outcome.blocking && read(store, Key::Local) != fields.local) {
        outcome.blocking = true;
        outcome.failure = cannotSave(store, "the file does not keep the Location as typed");
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

SecretKind secretKindOf(Key key) {
    return entry(key).secret.value_or(SecretKind::FtpPassword);
}

bool passwordsInKeyring(const ProfileStore& store) {
    return readNumber(store, Key::PasswordsInKeyring) == 1;
}

Mailbox mailboxOf(const ProfileStore& store) {
    Mailbox mailbox;
    mailbox.host = read(store, Key::Host);
    if (mailbox.host.empty()) {
        mailbox.host = kDefaultHost;
    }
    mailbox.port = readNumber(store, Key::Port);
    mailbox.user = read(store, Key::User);
    return mailbox;
}

SecretRead readSecret(const ProfileStore& store, Key key) {
    if (store.secrets() == nullptr) {
        return {SecretAnswer::Unavailable, "", kNoKeyringText};
    }
    return store.secrets()->read(secretKindOf(key), mailboxOf(store));
}

std::optional<std::string> storeSecret(const ProfileStore& store, Key key, std::string_view value) {
    const std::string cannot = "Cannot save the password in the keyring: ";
    SecretStore* secrets = store.secrets();
    if (secrets == nullptr) {
        return cannot + kNoKeyringText;
    }
    const auto mailbox = mailboxOf(store);
    const auto current = secrets->read(secretKindOf(key), mailbox);
    if (current.answer == SecretAnswer::Found && current.value == value) {
        return std::nullopt;
    }
    // The field was left empty because the keyring did not show the password.
    if (value.empty() && current.answer != SecretAnswer::Found &&
        current.answer != SecretAnswer::NotStored) {
        return cannot + current.reason;
    }
    if (auto failure = secrets->store(secretKindOf(key), mailbox, value)) {
        return cannot + *failure;
    }
    return std::nullopt;
}

}  // namespace tyq::settings
