// A mailbox server that misbehaves: silent, resetting, stalling, short,
// listing names that are not file names. Each transfer must end within the
// time limits given, say so in its texts and log, keep the old local copy and
// leave no partial file.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "download/MailboxFixture.h"

namespace tyq::test {
namespace {

using download::kDownloadingText;
using download::kFindingText;
using download::kFinishedText;
using download::kNoSecureConnectionText;
using download::kVerifyingText;

std::string noise(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7919 + 13) % 253);
    }
    return bytes;
}

// Connects first to the port the client announces in its nth EPRT, from
// another loopback address than the server's, and sends a one-byte file.
void raceToDataPort(const FtpServer& server, std::size_t nth, const std::stop_token& stop) {
    std::string port;  // from "EPRT |1|127.0.0.1|<port>|"
    while (port.empty() && !stop.stop_requested()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        const auto commands = server.commands();
        auto at = commands.find("EPRT |");
        for (std::size_t i = 1; i < nth && at != std::string::npos; ++i) {
            at = commands.find("EPRT |", at + 1);
        }
        const auto end = commands.find("|\n", at);
        if (at != std::string::npos && end != std::string::npos) {
            const auto start = commands.rfind('|', end - 1) + 1;
            port = commands.substr(start, end - start);
        }
    }
    if (port.empty()) {
        return;
    }
    const int stranger = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &address.sin_addr);
    const bool bound = bind(stranger, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    EXPECT_TRUE(bound);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(port)));
    if (bound && connect(stranger, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        [[maybe_unused]] const auto n = write(stranger, "X", 1);
    }
    close(stranger);
}

class HostileServer : public MailboxTest {
  protected:
    // Every limit at about a second: each fault costs a second, not minutes.
    bool quickTransfer() {
        auto o = options();
        o.timeouts.connect = std::chrono::milliseconds(1000);
        o.timeouts.response = std::chrono::milliseconds(1000);
        o.timeouts.accept = std::chrono::milliseconds(1000);
        o.timeouts.stalled = std::chrono::seconds(1);
        return commands::transferMailbox(window, profiles, libraries, o);
    }
    void expectOnlyPlainNamesFetched(const std::vector<std::string>& listed,
                                     const std::string& longName) {
        EXPECT_TRUE(quickTransfer());

        // Every name that ends in ".ZIP" counts; only plain names are fetched.
        // The window shows control characters as '?'.
        std::vector<std::string> shown = {"../ESCAPE.ZIP", "sub/NESTED.ZIP", "back\\slash.ZIP",
                                          "ctl?.ZIP",      "del?.ZIP",       "tab?.ZIP",
                                          "esc?[2J\\.ZIP", "c1?.ZIP"};
        shown.insert(shown.end(), listed.begin() + 8, listed.begin() + 12);
        EXPECT_EQ(window.progress, progressFor(shown, 12, "3 of 12 files downloaded"));
        EXPECT_EQ(log(), std::string(kStart) +
                             "\r\nNumber of Files in the Mail Box:12\r\n 1 ../ESCAPE.ZIP"
                             "\r\n 2 sub/NESTED.ZIP\r\n 3 back\\slash.ZIP\r\n 4 ctl\\x01.ZIP"
                             "\r\n 5 del\\x7F.ZIP\r\n 6 tab\\x09.ZIP\r\n 7 esc\\x1B[2J\\\\.ZIP"
                             "\r\n 8 c1\\xC2\\x9B.ZIP\r\n 9 " +
                             longName + kEnd);
        EXPECT_EQ(
            window.detail,
            "../ESCAPE.ZIP failed: not a plain file name; sub/NESTED.ZIP failed: not a plain file "
            "name; back\\slash.ZIP failed: not a plain file name; and 6 more");
        EXPECT_EQ(localNames(),
                  (std::vector<std::string>{"EMPTY.ZIP", "with space.ZIP",
                                            "\xc3\xbcml\xc3\xa4ut \xe2\x82\xac.ZIP"}));
        EXPECT_EQ(readFile(local / "EMPTY.ZIP"), "");
        EXPECT_EQ(readFile(local / "with space.ZIP"), "spaced");
        EXPECT_EQ(readFile(local / "\xc3\xbcml\xc3\xa4ut \xe2\x82\xac.ZIP"), "non-ASCII");
        EXPECT_EQ(readFile(root / "ESCAPE.ZIP"), "outside the mailbox");
        EXPECT_FALSE(fs::exists(local / "sub"));
    }
};

struct Fault {
    const char* label;
    std::vector<std::string> switches;
    // What the run must show: the log after the start entry, whether A.ZIP
    // (large) and B.ZIP (one byte) arrive, the detail under the text.
    std::string logBody;
    bool bigArrives;
    bool smallArrives;
    std::string detail;
    bool loggedIn = true;
    int listed = 2;
    // Which of the client's EPRTs a stranger races the server to.
    std::size_t raced = 0;
};

// The server lists B.ZIP first, then A.ZIP.
const std::string kBothFailed = "\r\nNumber of Files in the Mail Box:2\r\n 1 B.ZIP\r\n 2 A.ZIP";
const std::string kBigFailed = "\r\nNumber of Files in the Mail Box:2\r\n 2 A.ZIP";
const std::string kNoneListed = "\r\nNumber of Files in the Mail Box:0";
const std::string kLoginFailed =
    "Could not connect to QLM site,\r\nplease check the UserID and Password...";
const std::string kDropped = "A.ZIP failed: the connection dropped";
const std::string kStalled = "A.ZIP failed: the server stopped answering";

const Fault kFaults[] = {
    {"data connection reset mid-file",
     {"--reset-after", "100000"},
     kBigFailed,
     false,
     true,
     kDropped},
    {"data stream stalls mid-file", {"--stall-after", "100000"}, kBigFailed, false, true, kStalled},
    {"data stream stalls before its first byte",
     {"--stall-after", "0"},
     kBothFailed,
     false,
     false,
     "B.ZIP failed: the server stopped answering; A.ZIP failed: the server stopped answering"},
    {"passive mode: data connection reset mid-file",
     {"--refuse-active", "--reset-after", "100000"},
     kBigFailed,
     false,
     true,
     kDropped},
    {"passive mode: data stream stalls mid-file",
     {"--refuse-active", "--stall-after", "100000"},
     kBigFailed,
     false,
     true,
     kStalled},
    {"passive mode: server killed mid-file",
     {"--refuse-active", "--die-after", "100000"},
     kBigFailed,
     false,
     true,
     kDropped},
    {"size told, more sent",
     {"--long-transfer", "7"},
     kBothFailed,
     false,
     false,
     "B.ZIP failed: longer than the server said; A.ZIP failed: longer than the server said"},
    // The second EPRT is for B.ZIP; the file comes again in passive mode.
    {"a stranger connects to the announced port first",
     {"--connect-back-delay", "300"},
     "\r\nNumber of Files in the Mail Box:2",
     true,
     true,
     "",
     true,
     2,
     2},
    {"size told, less sent",
     {"--short-transfer", "10", "--short-keeps-size"},
     kBothFailed,
     false,
     false,
     "B.ZIP failed: shorter than the server said; A.ZIP failed: shorter than the server said"},
    {"silent after RETR",
     {"--silent-on", "RETR"},
     kBothFailed,
     false,
     false,
     "B.ZIP failed: the server stopped answering; A.ZIP failed: the server stopped answering"},
    {"the session ended by the server at RETR",
     {"--busy-on", "RETR"},
     kBothFailed,
     false,
     false,
     "B.ZIP failed: the server ended the session: 421 Shutting down, try again later.; A.ZIP "
     "failed: the server ended the session: 421 Shutting down, try again later."},
    // A listing that fails is not an empty mailbox.
    {"silent after NLST",
     {"--silent-on", "NLST"},
     kNoneListed,
     false,
     false,
     "The server stopped answering",
     true,
     0},
    {"listing refused",
     {"--refuse-listing"},
     kNoneListed,
     false,
     false,
     "The server replied: 550 Listing not allowed here.",
     true,
     0},
    {"listing refused for now",
     {"--busy-listing"},
     kNoneListed,
     false,
     false,
     "The server replied: 450 Mailbox busy, try again later.",
     true,
     0},
    // Fetched once, counted once.
    {"every name listed twice",
     {"--list-twice"},
     "\r\nNumber of Files in the Mail Box:2",
     true,
     true,
     ""},
    {"listing's data connection reset",
     {"--reset-listing"},
     kNoneListed,
     false,
     false,
     "The connection dropped",
     true,
     0},
    {"silent after USER",
     {"--silent-on", "USER"},
     kLoginFailed,
     false,
     false,
     "No answer from 127.0.0.1 after 1 s",
     false},
    {"busy at log-in",
     {"--busy"},
     kLoginFailed,
     false,
     false,
     "The server is busy: Too many users, try again later.",
     false},
    {"silent from the start, no greeting",
     {"--silent-on", "CONNECT"},
     kLoginFailed,
     false,
     false,
     "No answer from 127.0.0.1 after 1 s",
     false},
};

// By the number of connections: one, then further ones fetching ahead.
class HostileFaults : public HostileServer, public testing::WithParamInterface<int> {
  protected:
    void runFault(const Fault& fault, const std::string& big, bool racy) {
        fs::remove_all(local);
        fs::create_directory(local);
        writeFile(local / "A.ZIP", "the old copy of A");
        window.progress.clear();
        window.detail.clear();
        std::vector<std::string> switches = fault.switches;
        switches.push_back("--reverse-listing");  // B.ZIP first, then A.ZIP
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", switches));
        useServer(server);
        std::jthread stranger;
        if (fault.raced > 0) {
            stranger = std::jthread([&server, &fault](std::stop_token stop) {
                raceToDataPort(server, fault.raced, stop);
            });
        }

        EXPECT_EQ(quickTransfer(), fault.loggedIn);
        if (racy) {
            // Whole or not there at all, and nothing else.
            const auto a = readFile(local / "A.ZIP");
            EXPECT_TRUE(a == big || a == "the old copy of A");
            EXPECT_TRUE(!fs::exists(local / "B.ZIP") || readFile(local / "B.ZIP") == "b");
            for (const auto& name : localNames()) {
                EXPECT_TRUE(name == "A.ZIP" || name == "B.ZIP") << name;
            }
            EXPECT_TRUE(log().ends_with(kEnd));
            return;
        }

        if (fault.loggedIn) {
            std::vector<std::string> order;
            if (fault.listed > 0) {
                order = {"B.ZIP", "A.ZIP"};
            }
            // The finished text only when both files arrived.
            const int arrived = int(fault.bigArrives) + int(fault.smallArrives);
            const std::string headline = fault.listed == 0 ? download::kNotListedText
                                         : arrived == 2
                                             ? kFinishedText
                                             : std::to_string(arrived) + " of 2 files downloaded";
            EXPECT_EQ(window.progress, progressFor(order, fault.listed, headline));
            EXPECT_EQ(log(), std::string(kStart) + fault.logBody + kEnd);
        } else {
            // No answer is not the user ID's or password's fault.
            EXPECT_EQ(window.progress,
                      (std::vector<std::string>{kVerifyingText, kNoSecureConnectionText}));
            EXPECT_EQ(log(), std::string(kStart) + fault.logBody);
        }
        EXPECT_EQ(window.detail, fault.detail);
        // The old copy stays unless the whole file arrived; nothing partial.
        EXPECT_EQ(readFile(local / "A.ZIP"), fault.bigArrives ? big : "the old copy of A");
        std::vector<std::string> expectedNames = {"A.ZIP"};
        if (fault.smallArrives) {
            expectedNames.push_back("B.ZIP");
            EXPECT_EQ(readFile(local / "B.ZIP"), "b");
        }
        EXPECT_EQ(localNames(), expectedNames);
    }
};

// Every fault ends the same way on one connection as on several, except
// which files got through before a server died.
TEST_P(HostileFaults, EndWithinTheLimitsKeepingTheOldCopy) {
    const std::string big = noise(300000);
    put("A.ZIP", big);
    put("B.ZIP", "b");
    const int connections = GetParam();
    set(settings::kConnections, std::to_string(connections));
    for (const Fault& fault : kFaults) {
        SCOPED_TRACE(std::string(fault.label) + ", connections " + std::to_string(connections));
        const bool racy =
            connections != 1 && std::ranges::count(fault.switches, "--die-after") != 0;
        runFault(fault, big, racy);
    }
}
INSTANTIATE_TEST_SUITE_P(Connections, HostileFaults, testing::Values(1, 4),
                         [](const testing::TestParamInfo<int>& info) {
                             return std::to_string(info.param);
                         });

TEST_F(HostileServer, ListedNamesThatAreNotFileNamesAreNeverRequestedOrWritten) {
    const std::string longName = std::string(4000, 'L') + ".ZIP";
    const std::vector<std::string> listed = {
        "../ESCAPE.ZIP",
        "sub/NESTED.ZIP",
        "back\\slash.ZIP",
        "ctl\x01.ZIP",
        "del\x7f.ZIP",
        "tab\t.ZIP",
        "esc\x1b[2J\\.ZIP",
        "c1\xc2\x9b.ZIP",  // plain, but not on the server
        longName,
        "with space.ZIP",
        "\xc3\xbcml\xc3\xa4ut \xe2\x82\xac.ZIP",  // "ümlaut €.ZIP"
        "EMPTY.ZIP",
        "..",
        ".",
        "NOTES.TXT"};
    fs::create_directories(mailbox / "sub");
    put("sub/NESTED.ZIP", "nested");
    writeFile(root / "ESCAPE.ZIP", "outside the mailbox");
    put("with space.ZIP", "spaced");
    put("\xc3\xbcml\xc3\xa4ut \xe2\x82\xac.ZIP", "non-ASCII");
    put("EMPTY.ZIP", "");
    // The same names as NLST lists them, and as MLSD does (facts first).
    for (const char* command : {"--listing", "--mlsd"}) {
        SCOPED_TRACE(command);
        fs::remove_all(local);
        fs::create_directory(local);
        window = FakeMainWindow{};
        std::string listing;
        for (const auto& name : listed) {
            listing += (command[2] == 'm' ? "type=file; " : "") + name + "\r\n";
        }
        const fs::path listingFile = root / "listing";
        writeFile(listingFile, listing);
        FtpServer server(
            FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {command, listingFile.string()}));
        useServer(server);
        expectOnlyPlainNamesFetched(listed, longName);
    }
}

TEST_F(HostileServer, TwentyThousandListedNames) {
    // 20,000 names, every thousandth an archive that is there.
    std::string listing;
    std::vector<std::string> zips;
    for (int i = 0; i < 20000; ++i) {
        char name[32];
        if (i % 1000 == 999) {
            std::snprintf(name, sizeof name, "QLM%05d.ZIP", i);
            zips.emplace_back(name);
            put(name, name);
        } else {
            std::snprintf(name, sizeof name, "OTHER%05d.TXT", i);
        }
        listing += std::string(name) + "\r\n";
    }
    const fs::path listingFile = root / "listing";
    writeFile(listingFile, listing);
    FtpServer server(
        FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {"--listing", listingFile.string()}));
    useServer(server);

    EXPECT_TRUE(quickTransfer());
    EXPECT_EQ(window.progress, progressFor(zips, 20));
    EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:20" + kEnd);
    EXPECT_EQ(localNames(), zips);
    for (const auto& name : zips) {
        EXPECT_EQ(readFile(local / name), name);
    }
}

TEST_F(HostileServer, ThingsInTheWayInTheLocalFolderAreNeitherLostNorFollowed) {
    // A folder of an archive's name keeps its contents and fails that file;
    // a symbolic link of an archive's name is replaced, never written through;
    // a read-only file is the user's to keep, named but no failure.
    put("A.ZIP", "a from the server");
    put("B.ZIP", "b from the server");
    put("OTHER.ZIP", "other from the server");
    writeFile(local / "OTHER.ZIP", "the user's own");
    fs::permissions(local / "OTHER.ZIP",
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    fs::create_directory(local / "A.ZIP");
    writeFile(local / "A.ZIP" / "inside.txt", "kept");
    const fs::path victim = root / "victim";
    writeFile(victim, "outside the folder");
    fs::create_symlink(victim, local / "B.ZIP");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {"--reverse-listing"}));
    useServer(server);

    EXPECT_TRUE(quickTransfer());
    EXPECT_EQ(log(),
              std::string(kStart) + "\r\nNumber of Files in the Mail Box:3\r\n 3 A.ZIP" + kEnd);
    EXPECT_EQ(window.progressText(), "1 of 3 files downloaded");
    EXPECT_EQ(
        window.detail,
        "A.ZIP failed: a folder of that name is in the way; OTHER.ZIP: kept, it is read-only");
    EXPECT_EQ(readFile(local / "OTHER.ZIP"), "the user's own");
    // The kept file counts in neither the files nor the bytes of the run.
    ASSERT_FALSE(window.bytes.empty());
    EXPECT_EQ(window.bytes.back().itemCount, 2);
    EXPECT_EQ(window.bytes.back().allTotal, 2 * 17);
    EXPECT_EQ(readFile(local / "A.ZIP" / "inside.txt"), "kept");
    EXPECT_EQ(readFile(victim), "outside the folder");
    EXPECT_FALSE(fs::is_symlink(local / "B.ZIP"));
    EXPECT_EQ(readFile(local / "B.ZIP"), "b from the server");
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "B.ZIP", "OTHER.ZIP"}));
}

}  // namespace
}  // namespace tyq::test
