#include "settings/KeyringPasswords.h"

#include "settings/Keys.h"

namespace tyq::settings {
namespace {

constexpr char kStayInFile[] = "The passwords stay in the file: ";
constexpr char kStayInKeyring[] = "The passwords stay in the keyring: ";
constexpr Key kPasswords[] = {Key::Pass, Key::ZipPass};

// The file's own value, whole and plain, whatever the choice.
std::string fileValue(const ProfileStore& store, Key key) {
    auto value = store.getString(kSection, entry(key).name, "", kWholeValueCapacity, kFileName);
    if (entry(key).scrambled) {
        scrambleZipPassword(value);
    }
    return value;
}

std::optional<std::string> writeFileValue(const ProfileStore& store, Key key,
                                          std::string_view value) {
    std::string bytes(value);
    if (entry(key).scrambled) {
        scrambleZipPassword(bytes);
    }
    return store.write(kSection, entry(key).name, bytes, kFileName);
}

std::string inFile(const ProfileStore& store, const std::string& why) {
    return store.resolve(kFileName).string() + ": " + why;
}

// Asks to unlock a locked keyring once, where the store can ask.
SecretRead readUnlocking(SecretStore& secrets, Key key, const Mailbox& mailbox) {
    auto answer = secrets.read(secretKindOf(key), mailbox);
    if (answer.answer == SecretAnswer::Locked && secrets.unlock()) {
        answer = secrets.read(secretKindOf(key), mailbox);
    }
    return answer;
}

bool operator==(const Mailbox& a, const Mailbox& b) {
    return a.host == b.host && a.port == b.port && a.user == b.user;
}

}  // namespace

SecretRead readSecretUnlocking(const ProfileStore& store, Key key) {
    if (store.secrets() == nullptr) {
        return readSecret(store, key);
    }
    return readUnlocking(*store.secrets(), key, mailboxOf(store));
}

std::optional<std::string> movePasswordsToKeyring(const ProfileStore& store) {
    SecretStore* secrets = store.secrets();
    if (passwordsInKeyring(store)) {
        return std::nullopt;
    }
    if (secrets == nullptr) {
        return std::string(kStayInFile) + kNoKeyringText;
    }
    const auto mailbox = mailboxOf(store);
    std::string values[std::size(kPasswords)];
    for (std::size_t i = 0; i < std::size(kPasswords); ++i) {
        const Key key = kPasswords[i];
        values[i] = fileValue(store, key);
        if (auto failure = secrets->store(secretKindOf(key), mailbox, values[i])) {
            return kStayInFile + *failure;
        }
        // Read back before the file loses its copy.
        const auto kept = secrets->read(secretKindOf(key), mailbox);
        if (kept.answer != SecretAnswer::Found || kept.value != values[i]) {
            return kStayInFile +
                   (kept.reason.empty() ? "the keyring did not keep them" : kept.reason);
        }
    }
    // The choice first: a crash before the keys are emptied leaves the
    // passwords in both places, never in neither.
    if (auto failure = write(store, Key::PasswordsInKeyring, "1")) {
        return kStayInFile + inFile(store, *failure);
    }
    for (const Key key : kPasswords) {
        if (auto failure = writeFileValue(store, key, "")) {
            // Back as they were: the values, then the choice.
            for (std::size_t i = 0; i < std::size(kPasswords); ++i) {
                static_cast<void>(writeFileValue(store, kPasswords[i], values[i]));
            }
            static_cast<void>(write(store, Key::PasswordsInKeyring, "0"));
            return kStayInFile + inFile(store, *failure);
        }
    }
    return std::nullopt;
}

std::optional<std::string> movePasswordsToFile(const ProfileStore& store) {
    SecretStore* secrets = store.secrets();
    if (!passwordsInKeyring(store)) {
        return std::nullopt;
    }
    if (secrets == nullptr) {
        return std::string(kStayInKeyring) + kNoKeyringText;
    }
    const auto mailbox = mailboxOf(store);
    std::string values[std::size(kPasswords)];
    for (std::size_t i = 0; i < std::size(kPasswords); ++i) {
        auto answer = readUnlocking(*secrets, kPasswords[i], mailbox);
        // A password never stored is an empty one in the file.
        if (answer.answer != SecretAnswer::Found && answer.answer != SecretAnswer::NotStored) {
            return kStayInKeyring + answer.reason;
        }
        values[i] = std::move(answer.value);
    }
    // The values first, then the choice; should anything fail, the keys are
    // emptied again.
    std::optional<std::string> failure;
    for (std::size_t i = 0; i < std::size(kPasswords) && !failure; ++i) {
        failure = writeFileValue(store, kPasswords[i], values[i]);
    }
    if (!failure) {
        failure = write(store, Key::PasswordsInKeyring, "0");
    }
    if (failure) {
        for (const Key key : kPasswords) {
            static_cast<void>(writeFileValue(store, key, ""));
        }
        return kStayInKeyring + inFile(store, *failure);
    }
    for (const Key key : kPasswords) {
        static_cast<void>(secrets->remove(secretKindOf(key), mailbox));
    }
    return std::nullopt;
}

std::optional<std::string> followMailbox(const ProfileStore& store, const Mailbox& before) {
    SecretStore* secrets = store.secrets();
    const auto after = mailboxOf(store);
    if (!passwordsInKeyring(store) || secrets == nullptr || after == before) {
        return std::nullopt;
    }
    for (const Key key : kPasswords) {
        const auto answer = readUnlocking(*secrets, key, before);
        if (answer.answer == SecretAnswer::NotStored) {
            continue;
        }
        if (answer.answer != SecretAnswer::Found) {
            return "The passwords were not moved to the new server: " + answer.reason;
        }
        if (auto failure = secrets->store(secretKindOf(key), after, answer.value)) {
            return "The passwords were not moved to the new server: " + *failure;
        }
        static_cast<void>(secrets->remove(secretKindOf(key), before));
    }
    return std::nullopt;
}

}  // namespace tyq::settings
