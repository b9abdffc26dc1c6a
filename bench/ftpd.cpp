// Serves a folder over vsftpd (or pyftpdlib) on loopback until stdin closes.
// Prints "<port> <user> <password>" once the server listens.
//
//   bench_ftpd vsftpd|pyftpdlib HOME
//   bench_ftpd vsftpd-tls HOME FOLDER   TLS required, with a certificate for
//       127.0.0.1 signed by a throwaway authority FOLDER/ca.pem (printed fourth)

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "support/FtpServer.h"

int main(int argc, char** argv) {
    using tyq::test::FtpServer;
    const bool tls = argc == 4 && std::strcmp(argv[1], "vsftpd-tls") == 0;
    if (argc != 3 && !tls) {
        std::fprintf(stderr, "usage: bench_ftpd vsftpd|pyftpdlib HOME | vsftpd-tls HOME FOLDER\n");
        return 2;
    }
    const bool vsftpd = tls || std::strcmp(argv[1], "vsftpd") == 0;
    if (vsftpd && !FtpServer::vsftpdUnavailable().empty()) {
        std::fprintf(stderr, "vsftpd: %s\n", FtpServer::vsftpdUnavailable().c_str());
        return 1;
    }
    auto config = vsftpd ? FtpServer::vsftpd(argv[2], "bench-secret")
                         : FtpServer::pyftpdlib(argv[2], "bench", "bench-secret");
    std::filesystem::path authority;
    if (tls) {
        authority = FtpServer::makeCertificate(argv[3], "ca.pem", "bench-ca.invalid");
        config.certificate =
            FtpServer::makeCertificate(argv[3], "server.pem", "127.0.0.1", authority);
        config.requireTls = true;
    }
    FtpServer server(config);
    std::cout << server.port() << ' ' << server.user() << ' ' << server.password();
    if (tls) {
        std::cout << ' ' << authority.string();
    }
    std::cout << std::endl;
    char byte = 0;
    while (::read(0, &byte, 1) > 0) {
    }
    return 0;
}
