// Serves a folder over vsftpd (or pyftpdlib) on loopback until stdin closes.
// Prints "<port> <user> <password>" once the server listens.
//
//   bench_ftpd vsftpd|pyftpdlib HOME

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "support/FtpServer.h"

int main(int argc, char** argv) {
    using tyq::test::FtpServer;
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_ftpd vsftpd|pyftpdlib HOME\n");
        return 2;
    }
    const bool vsftpd = std::strcmp(argv[1], "vsftpd") == 0;
    if (vsftpd && !FtpServer::vsftpdUnavailable().empty()) {
        std::fprintf(stderr, "vsftpd: %s\n", FtpServer::vsftpdUnavailable().c_str());
        return 1;
    }
    FtpServer server(vsftpd ? FtpServer::vsftpd(argv[2], "bench-secret")
                            : FtpServer::pyftpdlib(argv[2], "bench", "bench-secret"));
    std::cout << server.port() << ' ' << server.user() << ' ' << server.password() << std::endl;
    char byte = 0;
    while (::read(0, &byte, 1) > 0) {
    }
    return 0;
}
