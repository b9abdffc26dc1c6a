#include "download/FtpSession.h"

#include <algorithm>
#include <sstream>

#include "download/KnownServers.h"
#include "download/ftp/Address.h"
#include "download/ftp/Listing.h"

#include "MailboxFixture.h"
#include "common/Log.h"

namespace tyq::test {
namespace {

using download::FtpSession;
using download::isPlainFileName;

TEST(PlainFileName, RefusesAnythingThatIsNotOneName) {
    for (const char* name : {"A.ZIP", "qlm 0101.zip", "..ZIP", ".hidden.ZIP", "ü.ZIP"}) {
        EXPECT_TRUE(isPlainFileName(name)) << name;
    }
    for (const char* name : {"", ".", "..", "../A.ZIP", "sub/A.ZIP", "/A.ZIP", "a\\b.ZIP",
                             "A\r.ZIP", "A\n.ZIP", "A\x7f.ZIP", "A\x01.ZIP"}) {
        EXPECT_FALSE(isPlainFileName(name)) << name;
    }
}

// What the user typed as the server's address, as log-in and the
// remembered certificates read it.
TEST(FtpAddress, KeyOrWhyNot) {
    using enum download::ftp::Address::Problem;
    const std::tuple<std::string, long, std::string, download::ftp::Address::Problem> cases[] = {
        {"127.0.0.1", 21, "127.0.0.1:21", None},
        {" \tMail.Example.COM:2121 ", 21, "mail.example.com:2121", None},
        {"ftp://Host:99/", 21, "host:99", None},
        {"ftp://host", 0, "host:21", None},
        {"::1", 990, "[::1]:990", None},
        {"[::1]:2121", 1, "[::1]:2121", None},
        {"host", 70000, "", None},
        {"host:70000", 21, "", NotAnAddress},
        {" \t", 21, "", Missing},
        {"bad host/x", 21, "", NotAnAddress},
        {"ftp://host/in", 21, "", NotAnAddress},
        {"ftp://user@host", 21, "", NotAnAddress},
        {"ftp://host?x", 21, "", NotAnAddress},
        {"http://host", 21, "", NotAnAddress},
    };
    for (const auto& [typed, port, key, problem] : cases) {
        EXPECT_EQ(download::ftp::serverKey(typed, port), key) << typed;
        const auto address = download::ftp::parseAddress(typed);
        EXPECT_EQ(address.problem, problem) << typed;
        EXPECT_EQ(address.host.empty(), problem != None) << typed;
    }
}

// What known_servers holds for a server, found under the key its address
// gives in any letter case.
TEST(FtpAddress, IdentityAsRemembered) {
    TempDir folder;
    writeFile(folder / "known",
              "# note\nmail.example.com:21 sha256:AB\n@tls [::1]:990\n"
              "@tls host:2121\n@nomlsd host:21\nhost:21 sha256:CD\n");
    download::KnownServers known(folder / "known");
    ASSERT_EQ(known.load(), std::nullopt);
    const std::tuple<std::string, long, std::string, bool, bool> cases[] = {
        {"Mail.Example.COM", 21, "sha256:AB", false, false},
        {"::1", 990, "", true, false},
        {"host", 2121, "", true, false},
        {"host", 21, "sha256:CD", false, true},
        {"host", 990, "", false, false},
        {"mail.example.com", 2121, "", false, false},
    };
    for (const auto& [host, port, pin, usedTls, noMlsd] : cases) {
        const auto address = download::ftp::parseAddress(host);
        const auto server = known.identity({address.host, port, "stale", true});
        EXPECT_EQ(server.pin, pin) << host << ":" << port;
        EXPECT_EQ(server.usedTlsBefore, usedTls) << host << ":" << port;
        EXPECT_EQ(server.key(), download::ftp::serverKey(host, port));
        EXPECT_EQ(known.refusesMlsd(server.key()), noMlsd) << host << ":" << port;
    }
    // Forgotten for one server, remembered for another, the rest kept.
    ASSERT_EQ(known.rememberMlsd("host:21", false), std::nullopt);
    ASSERT_EQ(known.rememberMlsd("other:21", true), std::nullopt);
    EXPECT_EQ(readFile(folder / "known"),
              "# note\nmail.example.com:21 sha256:AB\n@tls [::1]:990\n"
              "@tls host:2121\nhost:21 sha256:CD\n@nomlsd other:21\n");
}

TEST(FtpListing, ZipNamesAndTheirSizes) {
    struct Case {
        std::string text;
        bool mlsd;
        std::vector<std::string> names;
        std::vector<long long> sizes;
        std::vector<std::string> modified;
    };
    const Case cases[] = {
        {"A.ZIP\r\nb.zip\nNOTES.TXT\r\n.ZIP\r\nlast one.Zip",
         false,
         {"A.ZIP", "b.zip", ".ZIP", "last one.Zip"},
         {},
         {}},
        {"", false, {}, {}, {}},
        {"type=cdir;size=4096; .\r\ntype=pdir; ..\r\nNOFACTS.ZIP\r\n"
         "TYPE=file;Size=12;Modify=20261207101500.123; with  spaces.ZIP\r\n"
         "type=file;size=1x;modify=2026120710; B.ZIP\n"
         "size=99999999999999999999;modify=2026120710150x; C.ZIP\r\ntype=dir;size=1; D.TXT\r\n"
         ";; E.ZIP",
         true,
         {"with  spaces.ZIP", "B.ZIP", "C.ZIP", "E.ZIP"},
         {12, -1, -1, -1},
         {"20261207101500", "", "", ""}},
    };
    for (const auto& c : cases) {
        const auto found = download::ftp::zipNamesIn(c.text, c.mlsd);
        EXPECT_EQ(found.names, c.names) << c.text;
        EXPECT_EQ(found.sizes, c.sizes) << c.text;
        EXPECT_EQ(found.modified, c.modified) << c.text;
    }
    // LIST in the "ls -l" form: regular files only, a name's own spaces kept.
    const auto shown = download::ftp::filesShownIn(
        "total 12\r\n-rw-r--r--    1 1000     1000        20000 Dec 07 10:15 F 1.ZIP\r\n"
        "drwxr-xr-x    2 0 0 4096 Jan 01  2025 SUB.ZIP\n"
        "lrwxrwxrwx 1 0 0 5 Jan 01 2025 L.ZIP -> F.ZIP\n-rw-r--r-- 1 0 0 12x Jan 01 2025 BAD.ZIP\n"
        "-rw-r--r-- 1 0 0 7 Jan 01  2025  LEADING.ZIP\n-rw-r--r-- 1 0 0 7 Jan 01\n");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(std::tie(shown[0].name, shown[0].size, shown[0].time),
              std::make_tuple(std::string("F 1.ZIP"), 20000LL, std::string("Dec 07 10:15")));
    EXPECT_EQ(shown[1].name, " LEADING.ZIP");

    // A LIST in place of NLST: only when it tells the same names.
    const std::string file = "-rw-r--r--    1 0 0 20000 Dec 07 10:15 F 1.ZIP\r\n";
    const std::pair<std::string, bool> lists[] = {
        {"total 8\r\n" + file + "drwxr-xr-x 2 0 0 4096 Jan 01  2025 SUB\r\n", true},
        {file + "lrwxrwxrwx 1 0 0 5 Jan 01 2025 LINK -> F.ZIP\n", false},
        {file + "drwxr-xr-x 2 0 0 4096 Jan 01  2025 SUB.ZIP\n", false},
        {file + "-rw-r--r-- 1 0 0 12x Jan 01 2025 BAD.ZIP\n", false},
        {"-rw-r--r-- 1 owner 20000 Dec 07 10:15 F 1.ZIP\r\n", false},
    };
    for (const auto& [text, trusted] : lists) {
        const auto found = download::ftp::zipFilesShownIn(text);
        ASSERT_EQ(found.has_value(), trusted) << text;
        if (found) {
            EXPECT_EQ(std::tie(found->names[0], found->sizes[0], found->modified[0]),
                      std::tie(shown[0].name, shown[0].size, shown[0].time));
        }
    }

    // Times told in different forms: alike on every part both tell.
    const std::tuple<const char*, const char*, bool> times[] = {
        {"Dec 07 10:15", "Dec 07 10:15", true},
        {"Dec 07 10:15", "Dec 07 2026", true},  // half a year on
        {"Dec 07 10:15", "20261207101559", true},
        {"Dec 07 2026", "20261207000000", true},
        {"Dec 07 10:15", "Dec 07 10:16", false},
        {"Dec 07 2025", "Dec 07 2026", false},
        {"Dec 07 10:15", "Dec 08 10:15", false},
        {"Dec 7 10:15", "20261107101500", false},
        {"20261207101500", "20261207101501", false},
        {"Dec 07 10-15", "Dec 07 10:15", false},
        {"Foo 07 10:15", "Foo 07 10:15", true},
        {"Foo 07 10:15", "Foo 07 2026", false},
        {"", "Dec 07 10:15", false},
    };
    for (const auto& [a, b, same] : times) {
        EXPECT_EQ(download::ftp::sameTime(a, b), same) << a << " / " << b;
        EXPECT_EQ(download::ftp::sameTime(b, a), same) << b << " / " << a;
    }
}

// Sizes told on the control connection, and a file held to them.
TEST(FtpSize, ToldAndJudged) {
    using download::ftp::SizeVerdict;
    struct Case {
        std::vector<std::string> replies;
        long long written;
        long long counted;
        SizeVerdict verdict;
    };
    const Case cases[] = {
        {{"213 100", "150 Opening BINARY mode data connection for B.ZIP (100 bytes)."},
         100,
         100,
         SizeVerdict::Whole},
        {{"213 100"}, 99, 99, SizeVerdict::Short},
        {{"125 Data connection already open (7 bytes)"}, 8, 8, SizeVerdict::Long},
        {{"213 100", "213 5"}, 5, 5, SizeVerdict::Short},  // the first answer stands
        {{"213 100", "150 (101 bytes)"}, 100, 100, SizeVerdict::NotAsSaid},
        {{"150 (x bytes)", "226 Transfer complete (3 bytes)"}, 3, 3, SizeVerdict::Whole},
        {{}, 3, 4, SizeVerdict::NotAsSaid},
        {{"213 -1"}, 0, 0, SizeVerdict::Whole},
    };
    for (const auto& c : cases) {
        download::ftp::ToldSizes told;
        for (const auto& line : c.replies) {
            told.read(line);
        }
        EXPECT_EQ(download::ftp::sizeVerdict(c.written, c.counted, told, told.said()), c.verdict)
            << testing::PrintToString(c.replies);
    }
}

class Session : public MailboxTest {};

// With TYQLMFTP_DEBUG naming categories, their records go to standard error,
// the password never; without it nothing does.
TEST_F(Session, ActiveModeFirstPassiveOnlyWhenTheServerCannotConnect) {
    put("A.ZIP", "a");
    struct Case {
        std::vector<std::string> switches;
        bool passive;
        const char* debug;
        std::vector<std::string> records;  // none: nothing on standard error
    };
    const Case cases[] = {
        {{}, false, "", {}},
        {{"--refuse-active"}, true, "tls, ftp", {"tyqlmftp[ftp]: active mode failed"}},
        {{"--no-connect-back"},
         true,
         "all",
         {"tyqlmftp[ftp]: logging in to 127.0.0.1:", "tyqlmftp[transfer]: A.ZIP: 1 bytes"}},
        {{}, false, "transfer", {"tyqlmftp[transfer]: A.ZIP: 1 bytes, listed or SIZE 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.debug);
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        setenv("TYQLMFTP_DEBUG", c.debug, 1);
        log::configure(std::getenv("TYQLMFTP_DEBUG"));
        testing::internal::CaptureStderr();
        auto session = FtpSession::open("test", options().timeouts);
        ASSERT_TRUE(session);
        ASSERT_EQ(session->login({"127.0.0.1", server.port(), "mailbox", "secret", {}, {}}).status,
                  download::LoginStatus::LoggedIn);
        EXPECT_FALSE(session->passive());
        EXPECT_EQ(session->listZipFiles().names, std::vector<std::string>{"A.ZIP"});
        EXPECT_EQ(session->passive(), c.passive);
        EXPECT_TRUE(session->download("A.ZIP", local.string()));
        EXPECT_EQ(readFile(local / "A.ZIP"), "a");
        const auto written = "\n" + testing::internal::GetCapturedStderr();
        unsetenv("TYQLMFTP_DEBUG");
        log::configure("");
        EXPECT_EQ(written.find("\ntyqlmftp["), c.records.empty() ? std::string::npos : 0)
            << written;
        for (const auto& record : c.records) {
            EXPECT_NE(written.find("\n" + record), std::string::npos) << written;
        }
        EXPECT_EQ(written.find("secret"), std::string::npos) << written;
        EXPECT_EQ(written.find("tyqlmftp[tls]"), std::string::npos) << written;
    }
}

// Once a server names sizes in its RETR reply the session stops asking SIZE
// first; every file is still checked against the size named.
TEST_F(Session, SizeNamedInTheReplyStillChecksEveryFile) {
    put("EMPTY.ZIP", "");
    const std::string full(100, 'b');
    put("B.ZIP", full);
    put("C.ZIP", "c");
    struct Case {
        const char* label;
        std::vector<std::string> switches;
        bool vsftpd;
        bool arrives;
    };
    const Case cases[] = {
        {"vsftpd", {}, true, true},
        {"named and sent whole", {"--short-transfer", "0", "--short-keeps-size"}, false, true},
        {"named, less sent", {"--short-transfer", "5", "--short-keeps-size"}, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        if (c.vsftpd && !FtpServer::vsftpdUnavailable().empty()) {
            continue;
        }
        FtpServer server(c.vsftpd ? FtpServer::vsftpd(mailbox, "secret")
                                  : FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        auto session = FtpSession::open("test", options().timeouts);
        ASSERT_TRUE(session);
        ASSERT_EQ(
            session->login({"127.0.0.1", server.port(), server.user(), "secret", {}, {}}).status,
            download::LoginStatus::LoggedIn);
        writeFile(local / "B.ZIP", "the old copy");
        EXPECT_TRUE(session->download("EMPTY.ZIP", local.string()));
        const auto b = session->download("B.ZIP", local.string());
        EXPECT_EQ(b.ok(), c.arrives);
        EXPECT_EQ(b.failure, c.arrives ? "" : "shorter than the server said");
        EXPECT_EQ(readFile(local / "B.ZIP"), c.arrives ? full : "the old copy");
        if (c.arrives) {
            EXPECT_TRUE(session->download("C.ZIP", local.string()));
            EXPECT_EQ(readFile(local / "C.ZIP"), "c");
        }
        fs::remove(local / "C.ZIP");
        fs::remove(local / "EMPTY.ZIP");
        EXPECT_EQ(std::distance(fs::directory_iterator(local), fs::directory_iterator()), 1);
    }
}

// Sizes from an MLSD listing spare the SIZE before each RETR and still hold
// each file to them; a server without MLSD is listed with NLST, or with one
// LIST when sizes and times are wanted and it shows them with every name.
TEST_F(Session, ListingSizesSpareSizeAndStillCheck) {
    put("B.ZIP", std::string(100, 'b'));
    put("C.ZIP", "c");
    put("with space.ZIP", "");
    put("NOTES.TXT", "n");
    writeFile(root / "mlsd",
              "type=cdir;size=4096; .\r\ntype=pdir; ..\r\nNOFACTS.ZIP\r\n"
              "type=file;size=1; B.ZIP\r\nSize=x1;Type=file; C.ZIP\r\n"
              "type=file;size=0; with space.ZIP\r\ntype=file;size=1; NOTES.TXT\r\n");
    // No group column: the size cannot be read, so neither can the names.
    writeFile(root / "list", "-rw-r--r-- 1 owner 100 Dec 07 10:15 B.ZIP\r\n");
    // Sizes and times wanted, as a collection does; the server remembered for refusing MLSD.
    enum Want { Names, Described, RememberedNoMlsd };
    struct Case {
        const char* label;
        std::vector<std::string> switches;
        Want want;
        std::vector<long long> sizes;  // empty: NLST
        const char* bFailure;
        int sizeCommands;
        const char* listings;  // the listing commands sent, in order
    };
    const std::string list = (root / "list").string();
    const std::vector<std::string> unread{"--no-mlsd", "--list", list};
    const Case cases[] = {
        {"MLSD", {}, Names, {100, 1, 0}, "", 0, "MLSD"},
        {"no MLSD", {"--no-mlsd"}, Names, {}, "", 3, "MLSD NLST"},
        // B.ZIP listed shorter than sent; C.ZIP's size unreadable: SIZE asked.
        {"MLSD lying",
         {"--mlsd", (root / "mlsd").string()},
         Names,
         {1, -1, 0},
         "longer than the server said",
         1,
         "MLSD"},
        {"no MLSD, one LIST", {"--no-mlsd"}, Described, {100, 1, 0}, "", 0, "MLSD LIST"},
        {"unread LIST", unread, Described, {100, 1, 0}, "", 3, "MLSD LIST NLST LIST"},
        {"remembered", {"--no-mlsd"}, RememberedNoMlsd, {100, 1, 0}, "", 0, "LIST"},
        // A LIST it cannot read: MLSD asked again, which it has now.
        {"MLSD now", {"--list", list}, RememberedNoMlsd, {100, 1, 0}, "", 0, "LIST MLSD"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", c.switches));
        auto session = FtpSession::open("test", options().timeouts);
        ASSERT_TRUE(session);
        ASSERT_EQ(session->login({"127.0.0.1", server.port(), "mailbox", "secret", {}, {}}).status,
                  download::LoginStatus::LoggedIn);
        if (c.want == RememberedNoMlsd) {
            session->assumeNoMlsd();
        }
        auto listing = session->listZipFiles(c.want != Names);
        if (c.want != Names) {
            session->describe(listing);
            EXPECT_EQ(std::ranges::count(listing.modified, std::string()), 0);
        }
        const std::string sent = c.listings;  // MLSD refused, or not asked
        EXPECT_EQ(session->noMlsd(), sent.find("MLSD ") != std::string::npos || sent == "LIST");
        std::string listings;
        std::istringstream commands(server.commands());
        for (std::string line; std::getline(commands, line);) {
            if (line == "MLSD" || line == "NLST" || line == "LIST") {
                listings += (listings.empty() ? "" : " ") + line;
            }
        }
        EXPECT_EQ(listings, c.listings);
        EXPECT_EQ(listing.names, (std::vector<std::string>{"B.ZIP", "C.ZIP", "with space.ZIP"}));
        EXPECT_EQ(listing.sizes, c.sizes);
        for (std::size_t i = 0; i < listing.names.size(); ++i) {
            const auto result =
                session->download(listing.names[i], local.string(), listing.sizeAt(i));
            EXPECT_EQ(result.failure, i == 0 ? c.bFailure : "") << listing.names[i];
        }
        EXPECT_EQ(server.sent("SIZE"), c.sizeCommands);
        fs::remove_all(local);
        fs::create_directory(local);
    }
}

// What the user typed as the host, and what a failed log-in says.
TEST_F(Session, LoginOutcomes) {
    using download::LoginStatus;
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    const int port = server.port();
    const std::string p = std::to_string(port);
    struct Case {
        std::string host;
        int port;
        std::string password;
        LoginStatus status;
        std::string description;
        std::string user = "mailbox";
    };
    const Case cases[] = {
        {"127.0.0.1", port, "secret", LoginStatus::LoggedIn, ""},
        // A port in the host wins over the port setting.
        {"ftp://127.0.0.1:" + p + "/", 1, "secret", LoginStatus::LoggedIn, ""},
        {"127.0.0.1:" + p, 70000, "secret", LoginStatus::LoggedIn, ""},
        {" ftp://127.0.0.1", port, "secret", LoginStatus::LoggedIn, ""},
        {"127.0.0.1", port, "wrong", LoginStatus::FailedWithDescription,
         "The server refused the log-in: Authentication failed."},
        {"127.0.0.1", 65536, "secret", LoginStatus::FailedWithDescription,
         "Port 65536 is outside 1 to 65535"},
        // Nobody listens there.
        {"::1", port, "secret", LoginStatus::FailedWithDescription,
         "The server refused the connection on port " + p},
        {"[::1]:" + p, 1, "secret", LoginStatus::FailedWithDescription,
         "The server refused the connection on port " + p},
        {"mailbox.invalid", port, "secret", LoginStatus::FailedWithDescription,
         "Server not found: mailbox.invalid"},
        {"bad host/x", port, "secret", LoginStatus::FailedWithoutDescription,
         "Not a server address: bad host/x"},
        {"ftp://127.0.0.1:" + p + "/in", port, "secret", LoginStatus::FailedWithoutDescription,
         "Not a server address: ftp://127.0.0.1:" + p + "/in"},
        {"ftp://mailbox@127.0.0.1", port, "secret", LoginStatus::FailedWithoutDescription,
         "Not a server address: ftp://mailbox@127.0.0.1"},
        {"http://127.0.0.1:" + p, port, "secret", LoginStatus::FailedWithoutDescription,
         "Not a server address: http://127.0.0.1:" + p},
        {"", port, "secret", LoginStatus::FailedWithoutDescription, "No server address is set"},
        // A CR LF would end the command and send one of the settings' choosing.
        {"127.0.0.1", port, "secret\r\nDELE A.ZIP", LoginStatus::FailedWithoutDescription,
         "The password contains a control character"},
        {"127.0.0.1", port, "secret\x7f", LoginStatus::FailedWithoutDescription,
         "The password contains a control character"},
        {"127.0.0.1", port, "secret", LoginStatus::FailedWithoutDescription,
         "The user ID contains a control character", "mailbox\nDELE A.ZIP"},
    };
    for (const auto& c : cases) {
        const auto sent = server.commands();
        auto session = FtpSession::open("test", options().timeouts);
        const auto result = session->login({c.host, c.port, c.user, c.password, {}, {}});
        EXPECT_EQ(result.status, c.status) << c.host << " " << c.port << " " << c.password;
        EXPECT_EQ(result.description, c.description) << c.host;
        if (c.status == LoginStatus::FailedWithoutDescription) {
            EXPECT_EQ(server.commands(), sent) << c.description;  // nothing reached the server
        }
    }
}

TEST_F(Session, NameWithEncodedSlashStaysInTheFolder) {
    // "%2F" would become a path step if it reached libcurl unescaped.
    put("x%2F..%2FA.ZIP", "odd but plain");
    FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret"));
    auto session = FtpSession::open("test", options().timeouts);
    ASSERT_EQ(session->login({"127.0.0.1", server.port(), "mailbox", "secret", {}, {}}).status,
              download::LoginStatus::LoggedIn);
    EXPECT_TRUE(session->download("x%2F..%2FA.ZIP", local.string()));
    EXPECT_EQ(localNames(), std::vector<std::string>{"x%2F..%2FA.ZIP"});
}

}  // namespace
}  // namespace tyq::test
