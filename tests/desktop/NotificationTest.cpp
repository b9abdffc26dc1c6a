#include "desktop/Notification.h"

#include <gtest/gtest.h>

#include "desktop/FileManager.h"

namespace tyq::desktop {
namespace {

// Names from a server or a folder are bytes; the bus carries UTF-8 only, and
// a call with one bad byte would lose the whole notification.
TEST(Notification, TextIsMadeValidUtf8) {
    const std::pair<std::string, std::string> rows[] = {
        {"QLM\xc3\xa9.ZIP", "QLM\xc3\xa9.ZIP"},                    // kept: é
        {"\xf0\x9f\x93\x81 data", "\xf0\x9f\x93\x81 data"},        // kept: four bytes
        {"QLM\xff.ZIP", "QLM\xef\xbf\xbd.ZIP"},                    // a byte no UTF-8 has
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                  // an overlong '/'
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // a surrogate
        {"end\xe2\x82", "end\xef\xbf\xbd\xef\xbf\xbd"},            // cut short
    };
    for (const auto& [text, valid] : rows) {
        EXPECT_EQ(validUtf8(text), valid) << text;
    }
}

// The action's target is the folder's URI, which carries any folder name
// through the desktop's action notation and back.
TEST(Notification, OpenFolderActionNamesTheFolder) {
    const std::pair<std::string, std::string> rows[] = {
        {"/home/ann/ORV Data", "file:///home/ann/ORV%20Data"},
        {"/tmp/it's \\ here", "file:///tmp/it%27s%20%5C%20here"},
        {"/tmp/QLM\xff", "file:///tmp/QLM%FF"},
        {"/tmp/a%b#c?d", "file:///tmp/a%25b%23c%3Fd"},
    };
    for (const auto& [folder, uri] : rows) {
        EXPECT_EQ(folderUri(folder), uri);
        const std::string key = openFolderKey(folder);
        EXPECT_EQ(key, "app.open-folder('" + uri + "')");
        EXPECT_EQ(folderOfAction(key, "other"), uri);
    }
    EXPECT_EQ(folderOfAction("default", "file:///x"), "file:///x");
    for (const char* foreign :
         {"open-folder", "app.open-folder", "app.quit('x')", "app.open-folder("}) {
        EXPECT_FALSE(folderOfAction(foreign, "file:///x")) << foreign;
    }
}

}  // namespace
}  // namespace tyq::desktop
