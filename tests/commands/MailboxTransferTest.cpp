#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <system_error>
#include <thread>

#include "common/ShownText.h"
#include "download/FetchAhead.h"
#include "download/MailboxFixture.h"
#include "download/TransferLog.h"
#include "support/ScriptedPrompter.h"

namespace tyq::test {
namespace {

using download::kCouldNotConnectText;
using download::kDownloadingText;
using download::kFindingText;
using download::kFinishedText;
using download::kFtpExceptionText;
using download::kNoSecureConnectionText;
using download::kVerifyingText;

const std::string kLoginFailedLog =
    std::string(kStart) +
    "Could not connect to QLM site,\r\nplease check the UserID and Password...";

std::string bigFile(std::size_t size, char seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 131 + static_cast<unsigned char>(seed)) % 251);
    }
    return bytes;
}

// A socket listening on loopback, and its port.
std::pair<int, int> loopbackListener(int flags = 0) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return {-1, 0};
    }
    return {listener, ntohs(address.sin_port)};
}

class MailboxTransfer : public MailboxTest {
  protected:
    // vsftpd with a certificate for 127.0.0.1 from a throwaway authority,
    // which TYQLMFTP_CA_FILE names until the test unsets it.
    FtpServer::Config vsftpdWithCertificate(bool requireTls) {
        const auto ca = FtpServer::makeCertificate(root.path(), "ca.pem", "ca.invalid");
        auto config = FtpServer::vsftpd(mailbox, "vs-secret");
        config.certificate = FtpServer::makeCertificate(root.path(), "good.pem", "127.0.0.1", ca);
        config.requireTls = requireTls;
        setenv("TYQLMFTP_CA_FILE", ca.c_str(), 1);
        return config;
    }

    // Three archives, one text file, and an old local copy of the second
    // archive: every archive arrives in the server's order, the old copy is
    // replaced, the server keeps its files.
    void expectThreeFilesDownloaded(const FtpServer& server, std::vector<std::string> order) {
        put("A.ZIP", bigFile(3000, 'a'));
        put("B.ZIP", bigFile(1 << 20, 'b'));
        put("c.zip", "");
        put("notes.txt", "not an archive");
        writeFile(local / "B.ZIP", "an old copy");
        useServer(server);

        EXPECT_TRUE(transfer());

        std::vector<std::string> expected = {kVerifyingText, kFindingText, kFindingText,
                                             kFindingText, kDownloadingText};
        for (const auto& name : order) {
            expected.push_back("Downloading  " + name + " to " + local.string());
        }
        expected.push_back(kFinishedText);
        EXPECT_EQ(window.progress, expected);
        EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "B.ZIP", "c.zip"}));
        for (const char* name : {"A.ZIP", "B.ZIP", "c.zip"}) {
            EXPECT_TRUE(readFile(local / name) == readFile(mailbox / name)) << name;
        }
        EXPECT_TRUE(fs::exists(mailbox / "notes.txt"));
        EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:3" + kEnd);
        // Bytes never go back within a file and end at its size, for each file;
        // its size is known once its bytes come, with or without MLSD, and the
        // run's once every file's is.
        ASSERT_FALSE(window.bytes.empty());
        EXPECT_EQ(window.bytes.back().allTotal, 3000 + (1 << 20));
        window.bytes.push_back({"", 4, 3, 0, 0, 3000 + (1 << 20)});  // what must follow the last
        for (std::size_t i = 0; i + 1 < window.bytes.size(); ++i) {
            const auto &now = window.bytes[i], &next = window.bytes[i + 1];
            const auto size = static_cast<std::int64_t>(fs::file_size(mailbox / now.item));
            EXPECT_TRUE(now.itemDone == 0 || now.itemTotal == size) << now.item;
            EXPECT_TRUE(next.itemNumber == now.itemNumber
                            ? now.itemDone <= next.itemDone
                            : next.itemNumber == now.itemNumber + 1 && now.itemDone == size &&
                                  now.itemTotal == size &&
                                  now.allDone == next.allDone - next.itemDone)
                << now.item;
        }
    }
};

TEST_F(MailboxTransfer, DownloadsEveryArchiveInTheServersOrder) {
    // Reversed, so the order cannot come from sorting on our side.
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {"--reverse-listing"}));
    expectThreeFilesDownloaded(server, {"c.zip", "B.ZIP", "A.ZIP"});
}

TEST_F(MailboxTransfer, DownloadsFromVsftpd) {
    if (const auto why = FtpServer::vsftpdUnavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    FtpServer server(FtpServer::vsftpd(mailbox, "vs-secret"));
    expectThreeFilesDownloaded(server, {"A.ZIP", "B.ZIP", "c.zip"});

    window.progress.clear();
    set(settings::kPass, "wrong");
    EXPECT_FALSE(transfer());
    EXPECT_EQ(window.progress, (std::vector<std::string>{kVerifyingText, kCouldNotConnectText}));
    EXPECT_EQ(window.detail, "The server refused the log-in: Login incorrect.");
    EXPECT_EQ(log(), kLoginFailedLog);
}

TEST_F(MailboxTransfer, RunsWithoutALogWhenAnotherRunHoldsIt) {
    put("A.ZIP", "a");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);
    download::TransferLog other((workDir / "QLMTYFTP.Log").string());
    ASSERT_TRUE(other.create());
    other.write("another run");

    EXPECT_TRUE(transfer());
    EXPECT_EQ(window.progressText(), kFinishedText);
    EXPECT_EQ(window.detail,
              "The transfer log " + download::transferLogPath() + " could not be created");
    EXPECT_EQ(readFile(local / "A.ZIP"), "a");
    EXPECT_EQ(log(), "another run");
}

TEST_F(MailboxTransfer, EmptyMailboxStillFinishes) {
    put("readme.txt", "x");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);

    EXPECT_TRUE(transfer());
    EXPECT_EQ(window.progress,
              (std::vector<std::string>{kVerifyingText, kDownloadingText, kFinishedText}));
    EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:0" + kEnd);
    EXPECT_EQ(window.detail, download::kEmptyMailboxText);  // not a failed listing
    EXPECT_TRUE(localNames().empty());
}

TEST_F(MailboxTransfer, FailedLoginsAreDescribed) {
    put("A.ZIP", "a");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    FtpServer stopped(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    const int closedPort = stopped.port();
    stopped.kill();

    const std::string closed = std::to_string(closedPort);
    struct Case {
        const char* what;
        std::string host;
        std::string port;
        std::string password;
        std::string detail;
        // Only a log-in the server refused blames the user ID and password.
        const char* headline = kNoSecureConnectionText;
    };
    const Case cases[] = {
        {"wrong password", "127.0.0.1", std::to_string(server.port()), "wrong",
         "The server refused the log-in: Authentication failed.", kCouldNotConnectText},
        {"closed port", "127.0.0.1", closed, "secret",
         "The server refused the connection on port " + closed},
        {"closed port in the host", "ftp://127.0.0.1:" + closed + "/",
         std::to_string(server.port()), "secret",
         "The server refused the connection on port " + closed},
        {"unknown host", "mailbox.example.invalid", std::to_string(server.port()), "secret",
         "Server not found: mailbox.example.invalid"},
        {"port beyond 65535", "127.0.0.1", "70000", "secret", "Port 70000 is outside 1 to 65535"},
        {"negative port", "127.0.0.1", "-5", "secret", "Port -5 is outside 1 to 65535"},
        // Never looked up: the placeholder of a fresh setup.
        {"built-in host", settings::kDefaultHost, std::to_string(server.port()), "secret",
         "Set the mailbox server's address in Setup"},
    };
    for (const auto& c : cases) {
        window.progress.clear();
        window.passwordFocused = 0;
        set(settings::kHost, c.host);
        set(settings::kPort, c.port);
        set(settings::kPass, c.password);

        EXPECT_FALSE(transfer()) << c.what;
        EXPECT_EQ(window.progress, (std::vector<std::string>{kVerifyingText, c.headline}))
            << c.what;
        EXPECT_EQ(window.detail, c.detail) << c.what;
        // Only a refused log-in sends the user to the password field.
        EXPECT_EQ(window.passwordFocused, std::string(c.headline) == kCouldNotConnectText ? 1 : 0)
            << c.what;
        EXPECT_EQ(log(), kLoginFailedLog) << c.what;
        EXPECT_TRUE(localNames().empty()) << c.what;
    }
}

TEST_F(MailboxTransfer, ServerThatDoesNotSpeakFtpGetsTheStockText) {
    // A listener that answers with something that is not an FTP greeting.
    const auto [listener, port] = loopbackListener();
    ASSERT_GE(listener, 0);
    std::thread peer([listener] {
        const int connection = accept(listener, nullptr, nullptr);
        const char reply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        [[maybe_unused]] const auto n = write(connection, reply, sizeof reply - 1);
        close(connection);
    });
    set(settings::kPort, std::to_string(port));

    EXPECT_FALSE(transfer());
    peer.join();
    close(listener);
    EXPECT_EQ(window.progress, (std::vector<std::string>{kVerifyingText, kFtpExceptionText}));
    // The stock text's own CR LF pairs become CR CR LF.
    EXPECT_EQ(log(), std::string(kStart) +
                         "An exception occurred when attempting to create an FTP connection.\r\r\n"
                         "  Please check your internet configuration and make sure your "
                         "environment\r\r\n is set up with WININET.DLL in the path.");
}

TEST_F(MailboxTransfer, ProxiesOfTheEnvironmentAreNotUsed) {
    // A listener in the proxy's place: the log-in must not reach it.
    const auto [listener, port] = loopbackListener(SOCK_NONBLOCK);
    ASSERT_GE(listener, 0);
    put("A.ZIP", "a");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);
    const char* const names[] = {"ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY", "http_proxy"};
    for (const char* name : names) {
        setenv(name, ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
    }
    EXPECT_TRUE(transfer());
    for (const char* name : names) {
        unsetenv(name);
    }
    const int knocked = accept(listener, nullptr, nullptr);
    EXPECT_LT(knocked, 0);
    if (knocked >= 0) {
        close(knocked);
    }
    close(listener);
    EXPECT_EQ(readFile(local / "A.ZIP"), "a");
}

TEST_F(MailboxTransfer, PortZeroAndNoPortMeanTwentyOne) {
    put("A.ZIP", "first");
    std::unique_ptr<FtpServer> server;
    try {
        server = std::make_unique<FtpServer>(
            FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {"--port", "21"}));
    } catch (const std::exception& error) {
        GTEST_SKIP() << "no server on port 21 here: " << error.what();
    }
    for (const char* port : {static_cast<const char*>("0"), static_cast<const char*>(nullptr)}) {
        fs::remove(local / "A.ZIP");
        if (port != nullptr) {
            set(settings::kPort, port);
        } else {
            // A settings file without any Port line.
            fs::remove(profiles.resolve(settings::kFileName));
            set(settings::kHost, "127.0.0.1");
            set(settings::kPass, "secret");
            set(settings::kLocal, local.string());
        }
        EXPECT_TRUE(transfer()) << (port ? port : "no Port");
        EXPECT_EQ(readFile(local / "A.ZIP"), "first");
    }
}

TEST_F(MailboxTransfer, FailedFilesAreLoggedAndTheRestStillArrive) {
    put("A.ZIP", "a");
    fs::create_directory(mailbox / "DIR.ZIP");  // a folder is listed but cannot be fetched
    put("E.ZIP", "e");
    put("a\\b.ZIP", "not a plain name");  // never requested, never written
    put("F.ZIP", "f");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);

    EXPECT_TRUE(transfer());
    EXPECT_EQ(window.progressText(), "3 of 5 files downloaded");
    // Server order: A.ZIP, DIR.ZIP, E.ZIP, F.ZIP, a\b.ZIP.
    EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:5" +
                         "\r\n 2 DIR.ZIP\r\n 5 a\\b.ZIP" + kEnd);
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "E.ZIP", "F.ZIP"}));
    EXPECT_EQ(window.detail,
              "DIR.ZIP failed: not on the server; a\\b.ZIP failed: not a plain file name");

    // Six listed that are not there: three named, the rest counted. Control
    // characters in a listed name (C0 and C1) show as '?' in the window.
    std::string listing = "F.ZIP\r\n";
    for (const char* name :
         {"M1.ZIP", "M2.ZIP", "M3.ZIP", "M4.ZIP", "M5.ZIP", "C\x1b[2J\xc2\x9b\x7f.ZIP"}) {
        listing += std::string(name) + "\r\n";
    }
    writeFile(root / "listing", listing);
    FtpServer lister(FtpServer::pyftpdlib(mailbox, "mailbox", "secret",
                                          {"--listing", (root / "listing").string()}));
    useServer(lister);
    EXPECT_TRUE(transfer());
    EXPECT_EQ(window.progressText(), "1 of 7 files downloaded");
    EXPECT_EQ(window.detail,
              "M1.ZIP failed: not on the server; M2.ZIP failed: not on the server; M3.ZIP failed: "
              "not on the server; and 3 more");
    EXPECT_EQ(window.progress.at(window.progress.size() - 2),
              "Downloading  C?[2J??.ZIP to " + local.string());
}

// Further connections fetch ahead; the texts, the log and the files are
// those of one connection, and a server that refuses them loses nothing.
TEST_F(MailboxTransfer, FurtherConnectionsKeepEverythingInOrder) {
    std::vector<std::string> names;
    for (int i = 0; i < 8; ++i) {
        names.push_back("F" + std::to_string(i) + ".ZIP");
        put(names.back(), bigFile(static_cast<std::size_t>(i) * 40000, 'a' + i));
    }
    struct Case {
        const char* connections;  // the setting; empty: none written yet
        std::vector<std::string> switches;
        int logins;    // at most
        int accepted;  // connections at most, turned away ones too
        // Or none, when the run ended before the refusal; "?": either count.
        std::string detail = "";
    };
    const std::string oneAllowed = "Further connections gave up: the server allows one connection";
    const Case cases[] = {
        {"", {}, 2, 2},
        {"1", {}, 1, 1},
        {"99", {}, 8, 8},
        // The first refusal ends the asking.
        {"8", {"--max-connections", "1"}, 1, 2, oneAllowed},
        // Passive mode found in the listing logs in afresh: two of ours, one
        // helper refused.
        {"3", {"--refuse-active", "--max-connections", "2"}, 3, 4, "?"},
        // A helper that stalls is overtaken: the run does not wait for it.
        {"2", {"--stall-connection", "2"}, 2, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.connections) + (c.switches.empty() ? "" : c.switches.back()));
        fs::remove_all(local);
        fs::create_directory(local);
        window = FakeMainWindow{};
        if (*c.connections != 0) {
            set(settings::kConnections, c.connections);
        }
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        useServer(server);
        auto o = options();
        o.timeouts.stalled = std::chrono::hours(1);  // only an overtaking ends a stall
        EXPECT_TRUE(commands::transferMailbox(window, profiles, libraries, o));
        EXPECT_EQ(window.progress, progressFor(names, 8));
        EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:8" + kEnd);
        EXPECT_EQ(localNames(), names);
        // Files count as they finish, on whichever connection: the count
        // never goes back, and ends with every file.
        std::vector<int> done;
        for (const auto& bytes : window.bytes) {
            done.push_back(bytes.itemsDone);
        }
        EXPECT_TRUE(std::ranges::is_sorted(done) && !done.empty() && done.back() == 8);
        // Nothing waits to be resumed, not even what an overtaken helper had.
        EXPECT_FALSE(fs::exists(local / download::kPartialFolderName));
        for (int i = 0; i < 8; ++i) {
            EXPECT_EQ(readFile(local / names[static_cast<std::size_t>(i)]),
                      bigFile(static_cast<std::size_t>(i) * 40000, 'a' + i));
        }
        const int logins = server.sent("PASS");
        // Helpers still logging in when the last file arrived are stopped.
        EXPECT_LE(logins, c.logins);
        EXPECT_TRUE(c.logins > 1 || logins == c.logins);
        EXPECT_LE(server.connections(), c.accepted);
        EXPECT_TRUE(window.detail.empty() || window.detail == c.detail ||
                    (c.detail == "?" && window.detail.starts_with("Further connections gave up")))
            << window.detail;
    }
}

// When the first connection, with nothing else to do, takes over the file a
// helper has: a helper never makes the run slower than one connection.
TEST(FetchAhead, TakesOverOnlyFromASlowerHelper) {
    using namespace std::chrono_literals;
    using download::HelperProgress;
    using download::OwnSpeed;
    constexpr std::int64_t kB = 1000, MB = 1000 * kB;
    struct Case {
        const char* what;
        HelperProgress helper;  // done, total, elapsed, since the last byte
        OwnSpeed own;
        bool takeOver;
    };
    const Case cases[] = {
        {"stalled, no pace of our own", {kB, MB, 10s, 3s}, {}, true},
        {"no pace of our own", {10 * kB, MB, 10s, 0s}, {}, false},
        {"too few bytes of our own", {10 * kB, MB, 10s, 0s}, {10 * kB, 10ms}, false},
        {"too early to judge", {0, MB, 500ms, 500ms}, {MB, 1s}, false},
        {"a hundred times slower", {10 * kB, MB, 1s, 0s}, {MB, 1s}, true},
        {"slower, nearly done", {990 * kB, MB, 10s, 0s}, {MB, 1s}, false},
        {"as fast", {500 * kB, MB, 500ms + 500ms, 0s}, {MB, 1s}, false},
        {"not a byte in twice our time", {0, 200 * kB, 50ms, 50ms}, {MB, 10ms}, true},
        {"small files, a moment in", {0, kB, 1ms, 1ms}, {100 * kB, 200ms}, false},
        {"no size told, far slower", {100 * kB, -1, 1s, 0s}, {MB, 1s}, true},
        {"no size told, a little slower", {300 * kB, -1, 1s, 0s}, {MB, 1s}, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(download::worthTakingOver(c.helper, c.own), c.takeOver) << c.what;
    }
}

// Who fetches which file, step by step: the schedule alone, no threads,
// the time passed in.
TEST(FetchAhead, ScheduleDecisions) {
    using namespace std::chrono_literals;
    using Step = download::FetchSchedule::Step;
    const auto t0 = std::chrono::steady_clock::time_point{} + 1h;
    std::vector<bool> requestable(30, true);
    requestable[2] = false;  // a name never requested
    download::FetchSchedule s(requestable);
    EXPECT_TRUE(s.mayLogIn(0));
    EXPECT_FALSE(s.mayLogIn(1));  // one after another
    s.loggedIn();
    EXPECT_EQ(s.claimForHelper(0, t0), 1u);  // the first past the caller's
    EXPECT_EQ(s.claimForHelper(1, t0), 3u);  // never the unrequestable one
    EXPECT_EQ(s.callerTurn(0, true, t0).step, Step::FetchItself);
    const auto later = s.callerTurn(1, true, t0);  // rather than wait
    EXPECT_EQ(later.step, Step::FetchLater);
    EXPECT_EQ(later.item, 4u);
    s.ownFetched(4);
    EXPECT_EQ(s.callerTurn(1, false, t0 + 2s).step, Step::Wait);
    s.helperBytes(1, 10, 100, t0 + 2s);
    EXPECT_EQ(s.callerTurn(1, false, t0 + 4s).step, Step::Wait);  // bytes came 2 s ago
    const auto over = s.callerTurn(1, false, t0 + 5s);            // stalled for 3 s
    EXPECT_EQ(over.step, Step::TakeOver);
    EXPECT_EQ(over.helper, 0u);
    EXPECT_FALSE(s.helperFinished(1, 0, true));   // too late: not wanted
    EXPECT_FALSE(s.helperFinished(3, 1, false));  // failed: the helper gives way
    EXPECT_EQ(s.callerTurn(2, true, t0).step, Step::FetchItself);
    EXPECT_EQ(s.callerTurn(3, true, t0).step, Step::FetchItself);
    EXPECT_EQ(s.callerTurn(4, true, t0).step, Step::Take);
    // Helpers stay within the lookahead of the caller's file.
    std::size_t claimed = 0;
    while (s.claimForHelper(0, t0)) {
        ++claimed;
    }
    EXPECT_EQ(claimed, download::FetchSchedule::kLookahead - 1);
    EXPECT_TRUE(s.helperFinished(5, 0, true));
    EXPECT_EQ(s.callerTurn(5, false, t0).step, Step::Take);

    // Why further connections gave up.
    struct Note {
        std::size_t loggedIn;
        bool refused, stopped;
        const char* note;
    };
    const Note notes[] = {
        {0, true, false, "the server allows one connection"},
        {2, true, false, "the server allows 3 connections"},
        {1, false, false, "a further connection failed: timed out"},
        {1, true, true, ""},  // a stop says nothing of the server
    };
    for (const auto& n : notes) {
        download::FetchSchedule gate(std::vector<bool>(4, true));
        for (std::size_t i = 0; i < n.loggedIn; ++i) {
            gate.loggedIn();
        }
        gate.loginFailed("timed out", n.refused, n.stopped);
        EXPECT_TRUE(gate.askingEnded());
        EXPECT_FALSE(gate.mayLogIn(n.loggedIn));
        EXPECT_EQ(gate.note(), n.note);
    }
}

// The thread layer over scripted connections: every file reaches the
// caller once, in order, whoever fetched it; a helper's failure is the
// caller's to try again.
TEST(FetchAhead, ScriptedConnections) {
    struct Scripted : download::Fetcher {
        download::FetchResult fetch(std::size_t item,
                                    const download::DownloadProgress& progress) override {
            download::FetchResult result;
            if (item % 3 == 2) {
                result.result = {download::DownloadStatus::Failed, "scripted"};
                return result;
            }
            if (progress) {
                progress(static_cast<std::int64_t>(item), static_cast<std::int64_t>(item));
            }
            result.result = {download::DownloadStatus::Downloaded, ""};
            result.file.setSize(static_cast<std::int64_t>(item) + 1000);
            return result;
        }
    };
    for (const std::size_t helpers : {1u, 3u}) {
        std::stop_source stop;
        std::atomic<int> logins = 0;
        download::FetchAhead ahead(
            helpers,
            [&](std::stop_token) {
                ++logins;
                return download::FetchAhead::Helper{std::make_unique<Scripted>(), "", false};
            },
            std::vector<bool>(12, true), stop.get_token());
        std::size_t own = 0;
        // Each file a helper fetched whole is told of once, by its turn at
        // the latest; no other is.
        std::vector<std::size_t> told;
        for (std::size_t i = 0; i < 12; ++i) {
            const auto taken = ahead.take(i, {});
            std::ranges::copy(ahead.takeFinished(), std::back_inserter(told));
            if (!taken) {
                ++own;  // fetched by the caller itself
            } else {
                EXPECT_TRUE(taken->result.ok()) << i;
                EXPECT_EQ(taken->file.size(), static_cast<std::int64_t>(i) + 1000);
            }
            EXPECT_EQ(std::ranges::count(told, i), taken ? 1 : 0) << i;
        }
        EXPECT_GE(own, 1u);  // at least the first file
        EXPECT_LE(logins, static_cast<int>(helpers));
        EXPECT_EQ(ahead.helperNote(), "");
    }
}

// A helper thread that cannot start leaves fewer helpers, never a
// terminated program; every file is then the caller's.
TEST(FetchAhead, ThreadsThatCannotStart) {
    const std::vector<bool> requestable(4, true);
    for (const int failingStart : {0, 1, 2}) {
        int starts = 0;
        std::atomic<int> logins = 0;
        std::stop_source stop;
        download::FetchAhead ahead(
            3,
            [&](std::stop_token) {
                ++logins;
                return download::FetchAhead::Helper{nullptr, "refused", true};
            },
            requestable, stop.get_token(),
            [&](std::function<void()> work) {
                if (starts++ == failingStart) {
                    throw std::system_error(
                        std::make_error_code(std::errc::resource_unavailable_try_again));
                }
                return std::thread(std::move(work));
            });
        EXPECT_EQ(ahead.started(), static_cast<std::size_t>(failingStart));
        for (std::size_t i = 0; i < requestable.size(); ++i) {
            EXPECT_FALSE(ahead.take(i, {}).has_value());
        }
        EXPECT_LE(logins, 1);  // the first refusal ends the asking
    }
}

TEST_F(MailboxTransfer, MailboxChangingAfterTheListing) {
    struct Case {
        const char* vanishAfter;
        std::string log;
        std::vector<std::string> names;
        std::string detail;
    };
    const Case cases[] = {
        // Gone after the one listing: counted, its download fails and is logged.
        {"1",
         "\r\nNumber of Files in the Mail Box:3\r\n 2 B.ZIP",
         {"A.ZIP", "C.ZIP"},
         "B.ZIP failed: not on the server"},
        // The mailbox is listed once: a second listing would have lost it.
        {"2", "\r\nNumber of Files in the Mail Box:3", {"A.ZIP", "B.ZIP", "C.ZIP"}, ""},
    };
    for (const auto& c : cases) {
        fs::remove_all(local);
        fs::create_directory(local);
        for (const char* name : {"A.ZIP", "B.ZIP", "C.ZIP"}) {
            put(name, name);
        }
        FtpServer server(FtpServer::pyftpdlib(
            mailbox, "mailbox", "secret", {"--vanish", "B.ZIP", "--vanish-after", c.vanishAfter}));
        useServer(server);
        EXPECT_TRUE(transfer());
        EXPECT_EQ(log(), std::string(kStart) + c.log + kEnd) << c.vanishAfter;
        EXPECT_EQ(localNames(), c.names) << c.vanishAfter;
        EXPECT_EQ(window.detail, c.detail) << c.vanishAfter;
        EXPECT_EQ(window.progressText(),
                  c.detail.empty() ? kFinishedText : "2 of 3 files downloaded")
            << c.vanishAfter;
    }
}

TEST_F(MailboxTransfer, FallsBackToPassiveWhenTheServerCannotConnectBack) {
    for (const char* fault : {"--no-connect-back", "--refuse-active"}) {
        fs::remove_all(local);
        fs::create_directory(local);
        put("A.ZIP", bigFile(200000, 'a'));
        put("B.ZIP", "b");
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {fault}));
        useServer(server);

        EXPECT_TRUE(transfer()) << fault;
        EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:2" + kEnd)
            << fault;
        EXPECT_TRUE(readFile(local / "A.ZIP") == readFile(mailbox / "A.ZIP")) << fault;
        EXPECT_EQ(readFile(local / "B.ZIP"), "b") << fault;
    }
}

TEST_F(MailboxTransfer, ServerKilledMidFileLeavesTheOldCopy) {
    put("A.ZIP", bigFile(1000, 'a'));
    put("B.ZIP", bigFile(2 << 20, 'b'));
    put("C.ZIP", "c");
    writeFile(local / "B.ZIP", "the old copy");
    // Which files get through before the server dies depends on the order
    // they are fetched in: one connection, one order.
    set(settings::kConnections, "1");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret",
                                          {"--die-after", std::to_string(1000 + 300000)}));
    useServer(server);

    EXPECT_TRUE(transfer());
    EXPECT_EQ(window.progressText(), "1 of 3 files downloaded");
    EXPECT_EQ(log(), std::string(kStart) + "\r\nNumber of Files in the Mail Box:3" +
                         "\r\n 2 B.ZIP\r\n 3 C.ZIP" + kEnd);
    // No partial file under the final name, no temporary file left behind.
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "B.ZIP"}));
    EXPECT_EQ(readFile(local / "B.ZIP"), "the old copy");
    EXPECT_TRUE(readFile(local / "A.ZIP") == readFile(mailbox / "A.ZIP"));
}

// A fetch cut short is taken up by the next run where it ended, while the
// mailbox file and the partial are still the ones recorded; else the file
// comes whole, and a partial of a file that is gone goes.
TEST_F(MailboxTransfer, ResumesWhereAnEarlierRunWasCutShort) {
    constexpr std::uintmax_t kCut = 300007;
    const fs::path partials = local / download::kPartialFolderName;
    const fs::path elsewhere = root / "elsewhere";
    // The partial's data: the one file of the folder named by digits.
    const auto partial = [&] {
        for (const auto& entry : fs::directory_iterator(partials)) {
            const auto name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos) {
                return entry.path();
            }
        }
        return fs::path();
    };
    const auto copyAside = [&] {
        fs::copy_file(partial(), elsewhere, fs::copy_options::overwrite_existing);
        fs::remove(partial());
    };
    struct Case {
        const char* what;
        std::vector<std::string> switches;  // of the server the second run meets
        std::function<void()> between;
        int rests;  // REST commands the second run sends, each a little before the partial's end
        // The first run's server dies at the cut, rather than the run stopping.
        bool dropped = false;
        // What the server sends does not continue the partial: the file comes whole.
        bool whole = false;
    };
    const Case cases[] = {
        {"resumed", {}, {}, 1},
        {"resumed after a dropped connection", {}, {}, 1, true},
        {"REST refused", {"--refuse-rest"}, {}, 1},
        {"REST answered, the file sent from its start", {"--rest", "ignore"}, {}, 1, false, true},
        {"REST answered, more sent than the file holds", {"--rest", "extra"}, {}, 1, false, true},
        {"partial's last bytes changed on disk",
         {},
         [&] {
             std::fstream data(partial(), std::ios::in | std::ios::out | std::ios::binary);
             data.seekp(static_cast<std::streamoff>(kCut - 100));
             data << std::string(100, 'X');
         },
         1,
         false,
         true},
        {"same size, new time",
         {},
         [&] {
             put("B.ZIP", bigFile(1 << 20, 'c'));
             fs::last_write_time(mailbox / "B.ZIP",
                                 fs::last_write_time(mailbox / "B.ZIP") + std::chrono::hours(25));
         },
         0},
        {"partial replaced by a link",
         {},
         [&] {
             const auto data = partial();
             copyAside();
             fs::create_symlink(elsewhere, data);
         },
         0},
        {"partial replaced by another file",
         {},
         [&] {
             // Made while the old one still holds its number.
             const auto data = partial();
             fs::copy_file(data, root / "other");
             fs::rename(root / "other", data);
         },
         0},
        {"gone from the mailbox", {}, [&] { fs::remove(mailbox / "B.ZIP"); }, 0},
    };
    set(settings::kConnections, "1");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(local);
        fs::create_directory(local);
        put("B.ZIP", bigFile(1 << 20, 'b'));
        window = FakeMainWindow{};
        {
            // The server sends no more than the cut: the stop meets it there.
            FtpServer cutting(FtpServer::pyftpdlib(
                mailbox, "mailbox", "secret",
                {c.dropped ? "--die-after" : "--stall-after", std::to_string(kCut)}));
            useServer(cutting);
            window.onBytes = [&](auto& bytes) {
                if (!c.dropped && static_cast<std::uintmax_t>(bytes.itemDone) >= kCut) {
                    window.stop.request_stop();
                }
            };
            EXPECT_EQ(transfer(), c.dropped);
        }
        EXPECT_TRUE(localNames().empty());
        // Everything a dying server sent arrives: at least the cut.
        const auto held = fs::file_size(partial());
        ASSERT_TRUE(c.dropped ? held >= kCut && held < (1u << 20) : held == kCut) << held;
        if (c.between) {
            c.between();
        }
        window = FakeMainWindow{};
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        useServer(server);
        EXPECT_TRUE(transfer());

        const bool listed = fs::exists(mailbox / "B.ZIP");
        EXPECT_EQ(localNames(),
                  listed ? std::vector<std::string>{"B.ZIP"} : std::vector<std::string>{});
        EXPECT_TRUE(!listed || readFile(local / "B.ZIP") == readFile(mailbox / "B.ZIP"));
        EXPECT_EQ(log(), std::string(kStart) +
                             "\r\nNumber of Files in the Mail Box:" + (listed ? "1" : "0") + kEnd);
        EXPECT_EQ(server.sent("REST"), c.rests);
        EXPECT_EQ(std::ranges::count(window.details, "Resuming B.ZIP at " +
                                                         sizeText(static_cast<std::int64_t>(held))),
                  c.rests);
        // The bytes shown go on from the partial, out of the whole file.
        const bool resumed = c.rests != 0 && c.switches.empty() && !c.whole;
        for (const auto& bytes : window.bytes) {
            EXPECT_TRUE(bytes.itemDone == 0 ||
                        (bytes.itemTotal == 1 << 20 &&
                         (!resumed || static_cast<std::uintmax_t>(bytes.itemDone) >= held)));
        }
        EXPECT_EQ(server.commands().find("REST " + std::to_string(held - download::kResumeOverlap) +
                                         "\n") != std::string::npos,
                  c.rests != 0);
        // Nothing waits any more; a link's target was never written to.
        EXPECT_FALSE(fs::exists(partials));
        EXPECT_TRUE(!fs::exists(elsewhere) || fs::file_size(elsewhere) == kCut);
        fs::remove(elsewhere);
    }
}

TEST_F(MailboxTransfer, TransferShorterThanAnnouncedFails) {
    put("A.ZIP", bigFile(5000, 'a'));
    writeFile(local / "A.ZIP", "the old copy");
    FtpServer server(
        FtpServer::pyftpdlib(mailbox, "mailbox", "secret", {"--short-transfer", "10"}));
    useServer(server);

    EXPECT_TRUE(transfer());
    EXPECT_EQ(log(),
              std::string(kStart) + "\r\nNumber of Files in the Mail Box:1\r\n 1 A.ZIP" + kEnd);
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP"}));
    EXPECT_EQ(readFile(local / "A.ZIP"), "the old copy");
}

TEST_F(MailboxTransfer, StopEndsTheRunAtEveryPhase) {
    put("A.ZIP", "a");
    put("B.ZIP", bigFile(1 << 20, 'b'));
    struct Case {
        std::vector<std::string> switches;
        std::string stopAtText;  // else mid-file when throttled, else from a thread
        bool firstArrives;       // and the stop came during B.ZIP, the second and last
    };
    const Case cases[] = {
        {{}, kVerifyingText, false},
        {{"--silent-on", "USER"}, "", false},
        {{"--silent-on", "MLSD"}, "", false},
        {{"--no-connect-back"}, "", false},  // waiting for the server's connection
        {{}, "Downloading  B.ZIP", true},
        // Mid-file: the second file never arrives whole.
        {{"--stall-after", "1000"}, "", true},
        {{"--refuse-active", "--stall-after", "1000"}, "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.switches.empty() ? c.stopAtText : c.switches[0]);
        fs::remove_all(local);
        fs::create_directory(local);
        writeFile(local / "B.ZIP", "old");
        window = FakeMainWindow{};
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        useServer(server);
        const bool midFile = std::ranges::count(c.switches, "--stall-after") != 0;
        const auto stopIf = [&](bool now) {
            if (now) {
                window.stop.request_stop();
            }
        };
        window.onText = [&](auto& text) {
            stopIf(c.stopAtText != "" && text.starts_with(c.stopAtText));
        };
        window.onBytes = [&](auto& bytes) {
            stopIf(midFile && bytes.itemNumber == 2 && bytes.itemDone > 0);
        };
        const std::jthread later([&, silent = c.stopAtText.empty() && !midFile] {
            std::this_thread::sleep_for(std::chrono::milliseconds(silent ? 300 : 0));
            stopIf(silent);
        });
        auto o = options();
        o.timeouts.accept = std::chrono::seconds(60);
        EXPECT_FALSE(commands::transferMailbox(window, profiles, libraries, o));
        // How far it came, and what the stop left undone.
        EXPECT_EQ(window.progressText(), c.firstArrives
                                             ? "Download stopped: 1 of 2 files downloaded"
                                             : download::kStoppedText);
        // What came of B.ZIP is kept, and said: mid-file always; at its turn
        // when a further connection had fetched it.
        std::string detail =
            c.firstArrives ? "B.ZIP was not downloaded" : download::kNothingDownloadedText;
        std::int64_t held = 0;
        std::error_code none;
        for (const auto& entry :
             fs::directory_iterator(local / download::kPartialFolderName, none)) {
            const auto name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") == std::string::npos) {
                held = static_cast<std::int64_t>(entry.file_size());
            }
        }
        EXPECT_TRUE(held > 0 || !midFile);
        if (held > 0) {
            detail += "; " + sizeText(held) + " of B.ZIP kept; Download Files goes on from there";
        }
        EXPECT_EQ(window.detail, detail);
        EXPECT_EQ(log(), std::string(kStart) +
                             (c.firstArrives ? "\r\nNumber of Files in the Mail Box:2" : "") +
                             kEnd);
        EXPECT_EQ(localNames().front(), c.firstArrives ? "A.ZIP" : "B.ZIP");
        EXPECT_EQ(localNames().size(), c.firstArrives ? 2u : 1u);
        EXPECT_EQ(readFile(local / "B.ZIP"), "old");
    }
}

// What crossed in clear, what the server received, what the user was asked
// and what was remembered, for each kind of server, choice and certificate.
// A text ending in "..." is matched as a prefix.
TEST_F(MailboxTransfer, TlsWhereTheServerCanDoIt) {
    put("A.ZIP", "a");
    const auto ca = FtpServer::makeCertificate(root.path(), "ca.pem", "ca.invalid");
    const auto good = FtpServer::makeCertificate(root.path(), "good.pem", "127.0.0.1", ca);
    const auto wrong = FtpServer::makeCertificate(root.path(), "wrong.pem", "mail.invalid", ca);
    const auto self = FtpServer::makeCertificate(root.path(), "self.pem", "127.0.0.1");
    const auto other = FtpServer::makeCertificate(root.path(), "other.pem", "127.0.0.1");
    const auto selfWrong =
        FtpServer::makeCertificate(root.path(), "self-wrong.pem", "mail.invalid");
    const auto missing = root / "missing.pem";
    const auto fifo = root / "fifo.pem";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string encrypted = "AUTH TLS\r\n", plain = "USER mailbox\r\nPASS secret\r\n...";
    const std::string refusedAll = "AUTH TLS\n";
    const std::string wayOut =
        "To log in without TLS, choose \"Plain FTP only\" for Encryption in Setup";
    const std::string stripped =
        "127.0.0.1 used TLS before but does not offer it now; someone may be in between. ";
    using enum PromptAnswer;
    struct Case {
        const char* what = "";
        fs::path certificate = {};  // none: no TLS
        bool vsftpd = false;        // else pyftpdlib
        fs::path caFile = {};       // none: the system's store
        fs::path pinned = {};       // the certificate known_servers names
        std::deque<PromptAnswer> answers = {};
        std::string clear = {};     // what each connection sent before any TLS record
        std::string commands = {};  // what pyftpdlib received
        std::string question = {};  // in the only question asked
        fs::path known = {};        // the certificate known_servers names afterwards
        std::string detail = {};    // empty: logged in and downloaded
        const char* choice = "";
        bool requireTls = false;                 // vsftpd always requires it
        bool tlsBefore = false;                  // known_servers says the server completed TLS
        std::vector<std::string> switches = {};  // pyftpdlib's
        int stripTlsFrom = -1;                   // the relay's
    };
    // vsftpd where data must pass: pyftpdlib's TLS data connections do not
    // work with libcurl's; it refuses USER without TLS, like vsftpd.
    const Case cases[] = {
        {"verifies", good, true, ca, {}, {}, encrypted, "", {}, {}, ""},
        {"required", good, true, ca, {}, {}, encrypted, "", {}, {}, "", " required "},
        {.what = "verified before, AUTH stripped now",
         .certificate = good,
         .caFile = ca,
         .clear = "AUTH TLS\r\nAUTH SSL\r\n",
         .detail = stripped + wayOut,
         .tlsBefore = true,
         .stripTlsFrom = 0},
        {.what = "PROT P refused",
         .certificate = good,
         .caFile = ca,
         .clear = encrypted,
         .commands = "AUTH TLS\nUSER mailbox\nPASS secret\nPBSZ 0\nPROT P\n",
         .detail = "The server refused to encrypt the data connections: 534 Protection level "
                   "not supported.",
         .switches = {"--refuse-prot"}},
        {.what = "handshake fails",
         .certificate = good,
         .caFile = ca,
         .clear = encrypted,
         .commands = refusedAll,
         .detail = "The TLS handshake with 127.0.0.1 failed: ..." + wayOut,
         .switches = {"--tls-old"}},
        {.what = "trust store is a FIFO",
         .certificate = good,
         .caFile = fifo,
         .clear = encrypted,
         .commands = refusedAll,
         .detail = "The encrypted connection could not be set up: cannot use " + fifo.string() +
                   ": not a regular file"},
        {"self-signed, trusted",
         self,
         true,
         ca,
         {},
         {Yes},
         encrypted,
         "",
         "verified: self-signed certificate",
         self,
         ""},
        {"pinned", self, true, ca, self, {}, encrypted, "", "", self, ""},
        // Every reason is named, not only the first OpenSSL met.
        {"self-signed, wrong name, not trusted",
         selfWrong,
         false,
         ca,
         {},
         {No},
         encrypted,
         refusedAll,
         "verified: self-signed certificate, IP address mismatch.",
         {},
         "You did not trust the certificate of 127.0.0.1"},
        {"wrong name, not trusted",
         wrong,
         false,
         ca,
         {},
         {No},
         encrypted,
         refusedAll,
         "verified: IP address mismatch",
         {},
         "You did not trust the certificate of 127.0.0.1"},
        {"changed since pinned",
         self,
         false,
         ca,
         other,
         {No},
         encrypted,
         refusedAll,
         "has CHANGED since you trusted it",
         other,
         "The certificate of 127.0.0.1 has changed"},
        {"nobody to ask",
         good,
         false,
         {},
         {},
         {},
         encrypted,
         refusedAll,
         "",
         {},
         "The certificate of 127.0.0.1 could not be verified: unable to get local issuer "
         "certificate"},
        {"no trust store",
         good,
         false,
         missing,
         {},
         {},
         encrypted,
         refusedAll,
         "",
         {},
         "The encrypted connection could not be set up: ..."},
        {"plain, TLS required",
         good,
         false,
         ca,
         {},
         {},
         "USER mailbox\r\n",
         "USER mailbox\n",
         "",
         {},
         "The server requires encryption; choose \"Use TLS if the server offers it\" in Setup",
         "Plain",
         true},
        {"plain, TLS offered", good, false, ca, {}, {}, plain, "USER...", "", {}, "", "PLAIN"},
        {"no TLS",
         {},
         false,
         ca,
         {},
         {},
         "AUTH TLS\r\nAUTH SSL\r\n" + plain,
         "AUTH...",
         "",
         {},
         ""},
        {"no TLS, required",
         {},
         false,
         ca,
         {},
         {},
         "AUTH TLS\r\nAUTH SSL\r\n",
         "AUTH TLS\nAUTH SSL\n",
         "",
         {},
         "The server does not offer TLS encryption",
         "Required"},
        {"no TLS, pinned",
         {},
         false,
         ca,
         self,
         {},
         "AUTH TLS\r\nAUTH SSL\r\n",
         "AUTH TLS\nAUTH SSL\n",
         "",
         self,
         stripped + wayOut},
    };
    // "..." stands for any text.
    const auto matches = [](const std::string& text, const std::string& expected) {
        const auto dots = expected.find("...");
        return dots == std::string::npos ? text == expected
                                         : text.size() + 3 >= expected.size() &&
                                               text.starts_with(expected.substr(0, dots)) &&
                                               text.ends_with(expected.substr(dots + 3));
    };
    const auto knownFile = profiles.folder() / "known_servers";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.vsftpd && !FtpServer::vsftpdUnavailable().empty()) {
            continue;  // needs root
        }
        fs::remove_all(local);
        fs::create_directory(local);
        fs::remove(knownFile);
        window = FakeMainWindow{};
        auto config = c.vsftpd ? FtpServer::vsftpd(mailbox, "secret")
                               : FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches);
        config.certificate = c.certificate;
        config.requireTls = c.requireTls || c.vsftpd;
        FtpServer server(config);
        ControlRelay relay(server.port(), c.stripTlsFrom);
        useServer(server);
        set(settings::kPort, std::to_string(relay.port()));
        set(settings::kEncryption, c.choice);
        const auto line = [&](const fs::path& pem) {
            return "127.0.0.1:" + std::to_string(relay.port()) + " " + FtpServer::fingerprint(pem) +
                   "\n";
        };
        const auto tlsLine = "@tls 127.0.0.1:" + std::to_string(relay.port()) + "\n";
        // A server that logged in over TLS is remembered, unless pinned.
        const bool tlsAfter =
            c.tlsBefore || (c.detail.empty() && c.clear == encrypted && c.known.empty());
        if (!c.pinned.empty() || c.tlsBefore) {
            writeFile(knownFile, (c.pinned.empty() ? "" : "# kept\n" + line(c.pinned)) +
                                     (c.tlsBefore ? tlsLine : ""));
        }
        c.caFile.empty() ? unsetenv("TYQLMFTP_CA_FILE")
                         : setenv("TYQLMFTP_CA_FILE", c.caFile.c_str(), 1);
        ScriptedPrompter prompter(c.answers);
        auto o = options();
        o.prompter = c.what == std::string("nobody to ask") ? nullptr : &prompter;

        EXPECT_EQ(commands::transferMailbox(window, profiles, libraries, o), c.detail.empty());
        unsetenv("TYQLMFTP_CA_FILE");
        for (const auto& record : relay.records()) {
            EXPECT_TRUE(matches(record.substr(0, record.find('\x16')), c.clear)) << record;
        }
        if (!c.vsftpd) {
            EXPECT_TRUE(matches(server.commands(), c.commands)) << server.commands();
        }
        EXPECT_EQ(prompter.asked.size(), c.question.empty() ? 0u : 1u);
        const auto spaced = [](const fs::path& pem) {
            const auto hex = FtpServer::fingerprint(pem).substr(7);
            std::string out;
            for (std::size_t at = 0; at < hex.size(); at += 2) {
                out += (at == 0 ? "" : ":") + hex.substr(at, 2);
            }
            return out;
        };
        if (!c.question.empty() && !prompter.asked.empty()) {
            const auto& asked = prompter.asked[0];
            EXPECT_NE(asked.text.find(c.question), std::string::npos) << asked.text;
            EXPECT_NE(asked.text.find("SHA-256 fingerprint: " + spaced(c.certificate)),
                      std::string::npos);
            // No unless chosen, first contact too; a changed certificate:
            // a warning, the old fingerprint beside the new.
            const bool changed = !c.pinned.empty();
            EXPECT_EQ(asked.icon, changed ? PromptIcon::Warning : PromptIcon::Question);
            EXPECT_EQ(asked.defaultAnswer, No);
            EXPECT_EQ(asked.text.find(changed ? "Trusted before: " + spaced(c.pinned)
                                              : std::string("Trusted before")) != std::string::npos,
                      changed);
        }
        EXPECT_EQ(readFile(knownFile), (c.known.empty()    ? ""
                                        : c.pinned.empty() ? line(c.known)
                                                           : "# kept\n" + line(c.known)) +
                                           (tlsAfter ? tlsLine : ""));
        if (!c.known.empty() && c.pinned.empty()) {
            EXPECT_EQ(fs::status(knownFile).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
        }
        EXPECT_TRUE(matches(window.detail, c.detail)) << window.detail;
        if (c.detail.empty()) {
            EXPECT_EQ(window.progressText(), kFinishedText);
            EXPECT_EQ(readFile(local / "A.ZIP"), "a");
        } else {
            // Only a refused log-in blames the user ID and password.
            const bool refusedLogIn = c.detail.starts_with("The server requires encryption");
            EXPECT_EQ(
                window.progress,
                (std::vector<std::string>{kVerifyingText, refusedLogIn ? kCouldNotConnectText
                                                                       : kNoSecureConnectionText}));
            EXPECT_EQ(log(), kLoginFailedLog);
        }
    }
}

TEST_F(MailboxTransfer, DownloadsFromVsftpdOverTls) {
    if (const auto why = FtpServer::vsftpdUnavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    FtpServer server(vsftpdWithCertificate(true));
    expectThreeFilesDownloaded(server, {"A.ZIP", "B.ZIP", "c.zip"});

    window.progress.clear();
    set(settings::kEncryption, "Plain");
    EXPECT_FALSE(transfer());
    unsetenv("TYQLMFTP_CA_FILE");
    EXPECT_EQ(window.progress, (std::vector<std::string>{kVerifyingText, kCouldNotConnectText}));
    EXPECT_EQ(
        window.detail,
        "The server requires encryption; choose \"Use TLS if the server offers it\" in Setup");
}

// A man in the middle who refuses AUTH on the further connections gets no
// password from them: the first connection showed the server speaks TLS.
TEST_F(MailboxTransfer, FurtherConnectionsKeepToTlsOnceTheFirstHasIt) {
    if (const auto why = FtpServer::vsftpdUnavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    // Plain log-ins allowed: only the client can refuse them.
    FtpServer server(vsftpdWithCertificate(false));
    ControlRelay relay(server.port(), 1);
    for (const char* name : {"A.ZIP", "B.ZIP", "C.ZIP", "D.ZIP"}) {
        put(name, bigFile(200000, name[0]));
    }
    useServer(server);
    set(settings::kPort, std::to_string(relay.port()));
    EXPECT_TRUE(transfer());
    unsetenv("TYQLMFTP_CA_FILE");
    EXPECT_EQ(localNames(), (std::vector<std::string>{"A.ZIP", "B.ZIP", "C.ZIP", "D.ZIP"}));
    const auto records = relay.records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0].substr(0, records[0].find('\x16')), "AUTH TLS\r\n");
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_EQ(records[i].find("PASS"), std::string::npos) << records[i];
    }
}

// known_servers stays a link where it is one, and is not used where others
// could have written it or where it is no file: nothing is sent then.
TEST_F(MailboxTransfer, KnownServersFileIsKeptAndChecked) {
    if (const auto why = FtpServer::vsftpdUnavailable(); !why.empty()) {
        GTEST_SKIP() << why;
    }
    put("A.ZIP", "a");
    FtpServer server(vsftpdWithCertificate(true));
    ControlRelay relay(server.port());
    useServer(server);
    set(settings::kPort, std::to_string(relay.port()));
    const auto known = profiles.folder() / "known_servers", target = root / "linked";
    const auto notUsed = "Not using " + known.string() + ": ";
    // What becomes of a known_servers of "# kept\n", and the detail (empty: logged in).
    const std::pair<std::function<void()>, std::string> cases[] = {
        {[&] {
             fs::rename(known, target);
             fs::create_symlink(target, known);
         },
         ""},
        {[&] { fs::permissions(known, fs::perms::group_write, fs::perm_options::add); },
         notUsed + "other users can change it"},
        {[&] { ASSERT_EQ(chown(known.c_str(), 65534, 65534), 0); },
         notUsed + "it belongs to another user"},
        {[&] {
             fs::remove(known);
             ASSERT_EQ(mkfifo(known.c_str(), 0600), 0);
         },
         "Cannot read the trusted certificates: " + known.string() + ": not a regular file"},
    };
    for (const auto& [make, detail] : cases) {
        SCOPED_TRACE(detail);
        fs::remove(known);
        writeFile(known, "# kept\n");
        make();
        window = FakeMainWindow{};
        window.members.user = server.user();
        const auto connections = relay.records().size();
        EXPECT_EQ(transfer(), detail.empty());
        EXPECT_EQ(window.detail, detail);
        EXPECT_EQ(relay.records().size() == connections, !detail.empty());
        if (detail.empty()) {
            EXPECT_TRUE(fs::is_symlink(fs::symlink_status(known)));
            EXPECT_EQ(readFile(target),
                      "# kept\n@tls 127.0.0.1:" + std::to_string(relay.port()) + "\n");
        } else {
            EXPECT_EQ(window.progressText(), kNoSecureConnectionText);
        }
    }
    unsetenv("TYQLMFTP_CA_FILE");
}

TEST_F(MailboxTransfer, FilesGoToTheLocalFolderAsReadForEachFile) {
    // Downloaded files land where "Local" points at that moment, and are
    // readable by others as ordinary downloads are.
    put("A.ZIP", "a");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    useServer(server);
    const auto other = root / "other";
    fs::create_directory(other);
    set(settings::kLocal, other.string());

    EXPECT_TRUE(transfer());
    EXPECT_EQ(readFile(other / "A.ZIP"), "a");
    EXPECT_EQ(fs::status(other / "A.ZIP").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    EXPECT_TRUE(localNames().empty());
}

}  // namespace
}  // namespace tyq::test
