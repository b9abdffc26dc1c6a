#include "desktop/Keyring.h"

#include <gtest/gtest.h>

#include <sstream>

#include "commands/Collection.h"
#include "settings/KeyringPasswords.h"
#include "support/KeyringDaemon.h"

using namespace tyq;
using settings::Key;
using settings::SecretAnswer;

namespace {

// A mailbox with both passwords in the file, and the keyring the collection uses.
struct Mailbox {
    test::TempDir folder;
    std::shared_ptr<desktop::Keyring> keyring =
        std::make_shared<desktop::Keyring>(desktop::Prompting::Never);
    settings::ProfileStore profiles{folder.path(), keyring};

    Mailbox() {
        test::writeFile(folder / "TYFTP.INI",
                        "[QLMORVMAIL]\nUser=me\nPass=ftp-pw\nQLMHost=h\n"
                        "Local=" +
                            folder.path().string() + "\n");
        EXPECT_EQ(settings::write(profiles, Key::ZipPass, "zip-pw"), std::nullopt);
    }
    std::string file() const { return test::readFile(folder / "TYFTP.INI"); }
    std::string passwords() const {
        const auto values = settings::readSnapshot(profiles);
        return values.pass + "/" + values.zipPass;
    }
    // A collection that ends before it reaches the server.
    void collects(commands::CollectStatus status, const char* says) const {
        std::ostringstream out;
        commands::CollectEnvironment env;
        env.settingsFolder = folder.path();
        env.stateFolder = folder / "state";
        env.out = &out;
        env.err = &out;
        env.secrets = keyring;
        EXPECT_EQ(commands::collect(env).status, status) << out.str();
        EXPECT_NE(out.str().find(says), std::string::npos) << out.str();
    }
};

}  // namespace

// One mailbox through the keyring's life, a step a row: the file is
// rewritten only once the keyring holds the passwords, never receives them
// while they are there, and gets them back when the user turns it off.
TEST(KeyringTest, PasswordsMoveInAndOutSafely) {
    test::KeyringDaemon daemon;
    Mailbox m;
    const std::string plainFile = m.file();
    const auto keepsNone = [&] {
        EXPECT_EQ(m.file().find("-pw"), std::string::npos) << m.file();
        for (const char* line : {"\nPass=\n", "\nFileUnZipPass=\n", "\nPasswordsInKeyring=1\n"}) {
            EXPECT_NE(m.file().find(line), std::string::npos) << m.file();
        }
    };
    using Daemon = void (test::KeyringDaemon::*)();
    const struct {
        const char* name;
        Daemon daemon;
        std::function<void()> check;
    } steps[] = {
        {"no keyring: the move fails, the file stays", nullptr,
         [&] {
             EXPECT_TRUE(settings::movePasswordsToKeyring(m.profiles));
             EXPECT_EQ(m.file(), plainFile);
             // Nor any bus: none is launched to find one.
             const std::string bus = getenv("DBUS_SESSION_BUS_ADDRESS");
             unsetenv("DBUS_SESSION_BUS_ADDRESS");
             setenv("XDG_RUNTIME_DIR", m.folder.path().c_str(), 1);
             EXPECT_FALSE(m.keyring->available());
             setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
         }},
        {"store", &test::KeyringDaemon::start,
         [&] {
             EXPECT_EQ(settings::movePasswordsToKeyring(m.profiles), std::nullopt);
             keepsNone();
             EXPECT_EQ(m.passwords(), "ftp-pw/zip-pw");
         }},
        {"change", nullptr,
         [&] {
             EXPECT_EQ(settings::saveStepOne(m.profiles, {"me", "new-pw", "", ""},
                                             {.pass = settings::Save::Used})
                           .failure,
                       "");
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             keepsNone();
         }},
        {"locked at collection time", &test::KeyringDaemon::lock,
         [&] {
             m.collects(commands::CollectStatus::TryLater, "Unlock the keyring, or log in");
             // No change goes in, and the command needing it is stopped.
             EXPECT_TRUE(settings::saveStepOne(m.profiles, {"me", "", "", ""},
                                               {.pass = settings::Save::Used})
                             .blocking);
             EXPECT_TRUE(settings::movePasswordsToFile(m.profiles));
             keepsNone();
         }},
        {"the daemon gone mid-run", &test::KeyringDaemon::stop,
         [&] {
             m.collects(commands::CollectStatus::TryLater, "no desktop keyring answers");
             EXPECT_TRUE(settings::movePasswordsToFile(m.profiles));
             keepsNone();
         }},
        {"missing item", &test::KeyringDaemon::start,
         [&] {
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             EXPECT_EQ(settings::write(m.profiles, Key::User, "other"), std::nullopt);
             m.collects(commands::CollectStatus::NotSetUp, "holds no password for this mailbox");
             EXPECT_EQ(settings::write(m.profiles, Key::User, "me"), std::nullopt);
         }},
        {"turn off", nullptr,
         [&] {
             EXPECT_EQ(settings::movePasswordsToFile(m.profiles), std::nullopt);
             EXPECT_NE(m.file().find("\nPass=new-pw\n"), std::string::npos) << m.file();
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             EXPECT_EQ(settings::readSecret(m.profiles, Key::Pass).answer, SecretAnswer::NotStored);
         }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.daemon != nullptr) {
            (daemon.*step.daemon)();
        }
        step.check();
    }
}
