#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "download/ftp/Identity.h"

namespace tyq::download {

// The file of remembered certificates, beside the settings file.
inline constexpr char kKnownServersFileName[] = "known_servers";

// What is remembered of servers that spoke TLS, one line per fact:
//   "host:port sha256:HEX"  a certificate the user chose to trust although it
//                           did not verify; the server must encrypt.
//   "@tls host:port"        the server once completed TLS with a certificate
//                           that verified; it must encrypt from then on, and
//                           may renew its certificate.
//   "@nomlsd host:port"     the server refused MLSD: a collection lists it
//                           with LIST first (see FtpSession::assumeNoMlsd).
// Lines it does not understand are kept as they are (readers that know only
// the first kind skip the second); deleting a server's lines forgets it.
class KnownServers {
  public:
    explicit KnownServers(std::filesystem::path file);

    // Reads the file; a missing file is an empty one. Nothing when it was
    // read, else why not, as a sentence to show. A file other users could
    // have written (writable by group or others, or not the user's own) is
    // not used: whoever wrote it could have unpinned a certificate.
    std::optional<std::string> load();
    // The fingerprint ("sha256:HEX") remembered for "host:port", if any.
    std::optional<std::string> fingerprint(const std::string& server) const;
    // Whether the server is remembered for having completed TLS.
    bool usedTls(const std::string& server) const;
    // The server with what is remembered of it (its pin, whether it
    // completed TLS), looked up under its key.
    ftp::ServerIdentity identity(ftp::ServerIdentity server) const;
    // Remembers the fingerprint for the server in place of any other, and
    // replaces the file atomically at mode 0600 (the target of a symbolic
    // link, so the link stays). Nothing when the file holds it, else why not.
    std::optional<std::string> remember(const std::string& server, const std::string& fingerprint);
    // Remembers that the server completed TLS, unless that or a fingerprint
    // is known already; written as remember() writes.
    std::optional<std::string> rememberTls(const std::string& server);
    // Whether the server is remembered for refusing MLSD.
    bool refusesMlsd(const std::string& server) const;
    // Remembers, or forgets, that the server refuses MLSD; written as
    // remember() writes, and only when that changes the file.
    std::optional<std::string> rememberMlsd(const std::string& server, bool refused);

    const std::filesystem::path& file() const noexcept { return file_; }

  private:
    std::optional<std::string> save(std::vector<std::string> lines);

    std::filesystem::path file_;
    std::vector<std::string> lines_;
};

}  // namespace tyq::download
