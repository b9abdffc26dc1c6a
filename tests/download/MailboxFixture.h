#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <string>

#include "commands/MailboxTransfer.h"
#include "download/PartialStore.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "support/FakeMainWindow.h"
#include "support/FtpServer.h"
#include "support/TempDir.h"

namespace tyq::test {

namespace fs = std::filesystem;

// 2026-12-06 in UTC, the zone the tests run in.
inline std::time_t utc(int hour, int minute) {
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 11;
    t.tm_mday = 6;
    t.tm_hour = hour;
    t.tm_min = minute;
    return timegm(&t);
}

inline constexpr char kStart[] = "Sunday, December 06, 2026, 01:40 PM\tStart Ftp Connection\r\n";
inline constexpr char kEnd[] = "\r\nSunday, December 06, 2026, 01:42 PM";

// A fresh mailbox, local folder, settings folder and current directory (where
// the log goes) for each test.
class MailboxTest : public ::testing::Test {
  protected:
    TempDir root;
    fs::path mailbox = root / "mailbox";
    fs::path local = root / "local";
    fs::path workDir = root / "cwd";
    fs::path libraries = root / "libs";  // no dial-up libraries
    settings::ProfileStore profiles{root / "settings"};
    FakeMainWindow window;
    fs::path savedCwd = fs::current_path();

    void SetUp() override {
        for (const auto& dir : {mailbox, local, workDir, libraries}) {
            fs::create_directories(dir);
        }
        fs::current_path(workDir);
        setenv("TZ", "UTC", 1);
        tzset();
        window.members.user = "mailbox";
        set(settings::kHost, "127.0.0.1");
        set(settings::kPass, "secret");
        set(settings::kLocal, local.string());
        set(settings::kAol, "1");
    }
    void TearDown() override { fs::current_path(savedCwd); }

    void set(const char* key, const std::string& value) {
        profiles.writeString(settings::kSection, key, value, settings::kFileName);
    }
    void useServer(const FtpServer& server) {
        set(settings::kPort, std::to_string(server.port()));
        window.members.user = server.user();
        set(settings::kPass, server.password());
    }
    void put(const std::string& name, const std::string& bytes) {
        writeFile(mailbox / name, bytes);
    }

    commands::TransferOptions options() {
        commands::TransferOptions o;
        // Start and end stamps: 1:40 PM and 1:42 PM.
        o.clock = [calls = 0]() mutable { return utc(13, ++calls == 1 ? 40 : 42); };
        // Short enough that a server which never connects back costs a second.
        o.timeouts.accept = std::chrono::milliseconds(1000);
        return o;
    }
    bool transfer() { return commands::transferMailbox(window, profiles, libraries, options()); }
    std::string log() const { return readFile(workDir / "QLMTYFTP.Log"); }

    // The progress texts of a run that listed `found` names, tried these and
    // ended with `end`.
    std::vector<std::string> progressFor(const std::vector<std::string>& names, int found,
                                         const std::string& end = download::kFinishedText) {
        std::vector<std::string> expected = {download::kVerifyingText};
        expected.insert(expected.end(), static_cast<std::size_t>(found), download::kFindingText);
        expected.push_back(download::kDownloadingText);
        for (const auto& name : names) {
            expected.push_back("Downloading  " + name + " to " + local.string());
        }
        expected.push_back(end);
        return expected;
    }

    // Names in the local folder (or another), temporary files included;
    // not the folder where fetches cut short wait (see partials()).
    std::vector<std::string> localNames(const fs::path& folder = {}) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder.empty() ? local : folder)) {
            if (entry.path().filename() != download::kPartialFolderName) {
                names.push_back(entry.path().filename().string());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

}  // namespace tyq::test
