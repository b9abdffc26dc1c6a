#include "desktop/Keyring.h"

#include <gtest/gtest.h>

#include <sstream>

#include "app/Collection.h"
#include "settings/KeyringPasswords.h"
#include "settings/Keys.h"
#include "support/KeyringDaemon.h"
#include "support/TempDir.h"

using namespace tyq;
using settings::SecretAnswer;
using settings::SecretKind;
using test::TempDir;

namespace {

// The settings of a mailbox with both passwords in the file, and the
// keyring the window and the collection would use.
struct Mailbox {
    TempDir folder;
    std::shared_ptr<desktop::Keyring> keyring =
        std::make_shared<desktop::Keyring>(desktop::Prompting::Never);
    settings::ProfileStore profiles{folder.path(), keyring};

    Mailbox() {
        std::string zip = "zip-pw";
        settings::scrambleZipPassword(zip);
        test::writeFile(folder / "TYFTP.INI",
                        "[QLMORVMAIL]\nUser=subscriber\nPass=ftp-pw\n"
                        "FileUnZipPass=" +
                            zip +
                            "\nQLMHost=ftp.example.org\n"
                            "Port=2121\nLocal=" +
                            (folder / "data").string() + "\n");
    }
    std::string file() const { return test::readFile(folder / "TYFTP.INI"); }
    std::string passwords() const {
        const auto values = settings::readSnapshot(profiles);
        return values.pass + "/" + values.zipPass;
    }
    // A collection that ends before it reaches the server.
    std::pair<app::CollectStatus, std::string> collect() const {
        std::ostringstream out;
        app::CollectEnvironment env;
        env.settingsFolder = folder.path();
        env.stateFolder = folder / "state";
        env.out = &out;
        env.secrets = keyring;
        return {app::collect(env), out.str()};
    }
};

enum class Daemon { Keep, Start, Lock, Stop };

}  // namespace

// One mailbox through the keyring's life, a step a row: the file is
// rewritten only once the keyring holds the passwords, never receives them
// while they are there, and gets them back when the user turns it off.
TEST(KeyringTest, PasswordsMoveInAndOutSafely) {
    test::KeyringDaemon daemon;
    Mailbox m;
    const std::string plainFile = m.file();
    const auto fileKeepsNoPassword = [&] {
        EXPECT_EQ(m.file().find("-pw"), std::string::npos) << m.file();
        EXPECT_NE(m.file().find("\nPass=\n"), std::string::npos) << m.file();
        EXPECT_NE(m.file().find("\nPasswordsInKeyring=1\n"), std::string::npos) << m.file();
    };
    const auto collectsWith = [&](app::CollectStatus status, const char* says) {
        const auto [ended, out] = m.collect();
        EXPECT_EQ(ended, status) << out;
        EXPECT_NE(out.find(says), std::string::npos) << out;
    };
    struct Step {
        const char* name;
        Daemon daemon;
        std::function<void()> check;
    } steps[] = {
        {"no keyring: the move fails, the file stays", Daemon::Keep,
         [&] {
             EXPECT_FALSE(m.keyring->available());
             // Nor any session bus: none is launched to find one.
             const std::string bus = getenv("DBUS_SESSION_BUS_ADDRESS");
             unsetenv("DBUS_SESSION_BUS_ADDRESS");
             setenv("XDG_RUNTIME_DIR", m.folder.path().c_str(), 1);
             EXPECT_FALSE(m.keyring->available());
             setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
             EXPECT_TRUE(settings::movePasswordsToKeyring(m.profiles));
             EXPECT_EQ(m.file(), plainFile);
         }},
        {"store", Daemon::Start,
         [&] {
             EXPECT_EQ(settings::movePasswordsToKeyring(m.profiles), std::nullopt);
             fileKeepsNoPassword();
         }},
        {"read back", Daemon::Keep, [&] { EXPECT_EQ(m.passwords(), "ftp-pw/zip-pw"); }},
        {"change", Daemon::Keep,
         [&] {
             const auto saved =
                 settings::saveStepOne(m.profiles, {"subscriber", "new-pw", "zip-pw", ""},
                                       {.pass = settings::Save::Used});
             EXPECT_EQ(saved.failure, "");
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             fileKeepsNoPassword();
         }},
        {"locked at collection time", Daemon::Lock,
         [&] {
             collectsWith(app::CollectStatus::TryLater, "Unlock the keyring, or log in");
             // No change goes in meanwhile, and the command needing it is stopped.
             const auto saved = settings::saveStepOne(m.profiles, {"subscriber", "", "", ""},
                                                      {.pass = settings::Save::Used});
             EXPECT_TRUE(saved.blocking);
             EXPECT_NE(saved.failure.find("locked"), std::string::npos) << saved.failure;
             EXPECT_TRUE(settings::movePasswordsToFile(m.profiles));
             fileKeepsNoPassword();
         }},
        {"the daemon gone mid-run", Daemon::Stop,
         [&] {
             collectsWith(app::CollectStatus::TryLater, "no desktop keyring answers");
             EXPECT_TRUE(settings::movePasswordsToFile(m.profiles));
             fileKeepsNoPassword();
         }},
        {"missing item", Daemon::Start,
         [&] {
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             ASSERT_EQ(settings::write(m.profiles, settings::Key::User, "someone-else"),
                       std::nullopt);
             collectsWith(app::CollectStatus::NotSetUp, "holds no password for this mailbox");
             ASSERT_EQ(settings::write(m.profiles, settings::Key::User, "subscriber"),
                       std::nullopt);
         }},
        {"turn off", Daemon::Keep,
         [&] {
             EXPECT_EQ(settings::movePasswordsToFile(m.profiles), std::nullopt);
             EXPECT_NE(m.file().find("\nPass=new-pw\n"), std::string::npos) << m.file();
             EXPECT_NE(m.file().find("\nPasswordsInKeyring=0\n"), std::string::npos);
             EXPECT_EQ(m.passwords(), "new-pw/zip-pw");
             EXPECT_EQ(
                 m.keyring->read(SecretKind::FtpPassword, settings::mailboxOf(m.profiles)).answer,
                 SecretAnswer::NotStored);
         }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.name);
        switch (step.daemon) {
            case Daemon::Start:
                daemon.start();
                break;
            case Daemon::Lock:
                daemon.lock();
                break;
            case Daemon::Stop:
                daemon.stop();
                break;
            case Daemon::Keep:
                break;
        }
        step.check();
    }
}
