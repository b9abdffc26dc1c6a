// The dial-up check against the test-double libraries, loaded for real.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common/DialUpApi.h"
#include "download/DialUpCheck.h"
#include "settings/CSettings.h"
#include "settings/Keys.h"
#include "settings/ProfileStore.h"
#include "support/TempDir.h"

namespace tyq::download {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

struct Case {
    const char* name;
    std::optional<std::string> aol;  // nothing: the key is missing
    const char* variant;             // folder of test doubles
    std::vector<std::string> connections;
    std::vector<std::string> expectedCalls;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << c.name;
}

const std::string kEnumerate =
    "RasEnumConnectionsA cb=" + std::to_string(TY_RAS_CONN_SIZE) + " count=0";
const std::string kPhonebook = "RasPhonebookDlgA record-ok=1 default";

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

bool stillLoaded(const std::filesystem::path& library) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

class DialUpCheckTest : public testing::TestWithParam<Case> {};

TEST_P(DialUpCheckTest, CallsTheServiceAsExpected) {
    const Case& c = GetParam();
    TempDir settingsFolder;
    TempDir state;
    const settings::ProfileStore profiles(settingsFolder.path());
    if (c.aol) {
        ASSERT_TRUE(
            profiles.writeString(settings::kSection, settings::kAol, *c.aol, settings::kFileName));
    }
    std::string connections;
    for (const std::string& line : c.connections) {
        connections += line + "\n";
    }
    writeFile(state / "connections", connections);
    ASSERT_EQ(setenv("TYQ_RAS_DOUBLE_STATE", state.path().c_str(), 1), 0);

    const std::filesystem::path folder = std::filesystem::path(TYQ_RAS_DOUBLES) / c.variant;
    EnsureDialUpConnection(settings::read(profiles, settings::Key::Aol), folder);

    EXPECT_EQ(lines(readFile(state / "calls")), c.expectedCalls);
    // Nothing stays loaded once the check is over, whichever way it ended.
    EXPECT_FALSE(stillLoaded(folder / TY_RASAPI_LIBRARY));
    EXPECT_FALSE(stillLoaded(folder / TY_RASDLG_LIBRARY));
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DialUpCheckTest,
    testing::Values(
        Case{"OnAol", "1", "full", {}, {}}, Case{"AolKeyMissing", std::nullopt, "full", {}, {}},
        Case{"AolEmpty", "", "full", {}, {}}, Case{"AolBlankBeforeZero", " 0", "full", {}, {}},
        Case{"OnlyFirstCharacterCounts", "0123456789", "full", {}, {kEnumerate, kPhonebook}},
        Case{"OneConnectionActive", "0", "full", {"7 Office ISP"}, {kEnumerate}},
        Case{"NoConnectionOffersPhonebook", "0", "full", {}, {kEnumerate, kPhonebook}},
        Case{"TwoConnectionsFailTheEnumeration", "0", "full", {"7 One", "8 Two"}, {kEnumerate}},
        Case{"NoLibraries", "0", "none", {}, {}},
        Case{"NoDialogLibrary", "0", "no-dialog", {}, {kEnumerate}},
        Case{"NoDialEntryStopsBeforeEnumerating", "0", "no-dial", {}, {}},
        Case{"NoPhonebookEntry", "0", "no-phonebook", {}, {kEnumerate}},
        Case{"HangUpEntryNotNeeded", "0", "no-hangup", {}, {kEnumerate, kPhonebook}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(DialUpCheck, MissingLibraryFolderIsSilent) {
    TempDir settingsFolder;
    const settings::ProfileStore profiles(settingsFolder.path());
    profiles.writeString(settings::kSection, settings::kAol, "0", settings::kFileName);
    EnsureDialUpConnection(settings::read(profiles, settings::Key::Aol),
                           settingsFolder / "no-such-folder");
    // A relative folder is never searched by the loader.
    EnsureDialUpConnection(settings::read(profiles, settings::Key::Aol),
                           std::filesystem::path("relative") / "folder");
}

}  // namespace
}  // namespace tyq::download
