#include "download/FtpSession.h"

#include "MailboxFixture.h"

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

class Session : public MailboxTest {};

TEST_F(Session, ActiveModeFirstPassiveOnlyWhenTheServerCannotConnect) {
    put("A.ZIP", "a");
    const std::pair<std::vector<std::string>, bool> cases[] = {
        {{}, false}, {{"--refuse-active"}, true}, {{"--no-connect-back"}, true}};
    for (const auto& [switches, passive] : cases) {
        FtpServer server(FtpServer::pyftpdlib(mailbox, "mailbox", "secret", switches));
        auto session = FtpSession::open("test", options().timeouts);
        ASSERT_TRUE(session);
        ASSERT_EQ(session->login({"127.0.0.1", server.port(), "mailbox", "secret", {}, {}}).status,
                  download::LoginStatus::LoggedIn);
        EXPECT_FALSE(session->passive());
        EXPECT_EQ(session->listZipFiles().names, std::vector<std::string>{"A.ZIP"});
        EXPECT_EQ(session->passive(), passive);
        EXPECT_TRUE(session->download("A.ZIP", local.string()));
        EXPECT_EQ(readFile(local / "A.ZIP"), "a");
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
        ASSERT_EQ(session->login({"127.0.0.1", server.port(), server.user(), "secret", {}, {}}).status,
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
