#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace tyq::test {

// A real FTP server on 127.0.0.1 serving one user's home folder, for tests.
//
//   FtpServer server(FtpServer::pyftpdlib(home, "user", "secret", {"--refuse-active"}));
//   ... connect to 127.0.0.1:server.port() ...
//
// pyftpdlib (tests/tools/ftp_server.py under /usr/bin/python3) runs anywhere
// and takes the fault switches listed in that script. vsftpd needs root: it
// runs as a system user made for the server and removed afterwards; check
// FtpServer::vsftpdUnavailable() first and skip when it gives a reason; it
// lets others pass through the home's parent folders and read the home. The
// server stops (by its pid) when the object ends.
// A relay on 127.0.0.1 to a server's port that records the bytes the client
// sends on each connection: what crossed the network in clear.
class ControlRelay {
  public:
    // From connection stripTlsFrom on (counted from 0), AUTH is refused by
    // the relay itself, as by a man in the middle.
    explicit ControlRelay(int serverPort, int stripTlsFrom = -1);
    ~ControlRelay();
    ControlRelay(const ControlRelay&) = delete;
    ControlRelay& operator=(const ControlRelay&) = delete;
    int port() const noexcept { return port_; }
    // What the client sent on each connection so far, in order.
    std::vector<std::string> records() const;

  private:
    std::filesystem::path workDir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

class FtpServer {
  public:
    enum class Kind { Pyftpdlib, Vsftpd };

    struct Config {
        Kind kind = Kind::Pyftpdlib;
        std::filesystem::path home;  // the log-in folder
        std::string user = "mailbox";
        std::string password = "secret";
        std::vector<std::string> switches;  // pyftpdlib only
        // A PEM with certificate and key: the server then offers AUTH TLS.
        std::filesystem::path certificate;
        // With a certificate: no log-in and no data without TLS.
        bool requireTls = false;
    };

    // Makes folder/file: a certificate for name (an IP address or a host
    // name) and its key, signed by authority (such a file) or by itself.
    static std::filesystem::path makeCertificate(const std::filesystem::path& folder,
                                                 const std::string& file, const std::string& name,
                                                 const std::filesystem::path& authority = {});
    // "sha256:HEX" of the PEM's certificate.
    static std::string fingerprint(const std::filesystem::path& pem);

    static Config pyftpdlib(std::filesystem::path home, std::string user, std::string password,
                            std::vector<std::string> switches = {});
    // vsftpd logs in local users only: the fixture makes a fresh one with this
    // password, named by user() once the server runs.
    static Config vsftpd(std::filesystem::path home, std::string password);

    // Empty when vsftpd can run here, else why not (not root, not installed).
    static std::string vsftpdUnavailable();

    // Starts the server and waits until it listens; throws std::runtime_error
    // when it does not come up.
    explicit FtpServer(Config config);
    ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    int port() const noexcept { return port_; }
    pid_t pid() const noexcept { return pid_; }
    // The name and password to log in with.
    const std::string& user() const noexcept { return config_.user; }
    const std::string& password() const noexcept { return config_.password; }

    // Kills the server at once (SIGKILL) and reaps it.
    void kill();
    // Whether the process is still running (false once it has ended by itself).
    bool running();
    // What the server wrote to its error output so far.
    std::string errors() const;
    // The command lines pyftpdlib received so far, each ended by "\n".
    std::string commands() const;
    // How many of those were the command verb ("SIZE", "PASS"...).
    int sent(const std::string& verb) const;
    // How many control connections pyftpdlib accepted, turned away ones too.
    int connections() const;

  private:
    void stop();
    void startPyftpdlib();
    void startVsftpd();

    Config config_;
    std::filesystem::path workDir_;  // private folder: logs, vsftpd's config
    bool madeUser_ = false;
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace tyq::test
