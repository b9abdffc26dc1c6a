#pragma once

#include <string>

namespace tyq::download::ftp {

// The server's certificate as the TLS handshake showed it. Its texts come
// from the server: made fit to show, never trusted.
struct Certificate {
    std::string subject;
    std::string issuer;
    std::string notBefore;  // "2026-12-06 13:40:00 UTC"
    std::string notAfter;
    std::string fingerprint;  // "sha256:HEX", of the DER form
    // Every reason it did not verify, in OpenSSL's words, ", " between.
    std::string reason;
    // It is not the one pinned for the server.
    bool changed = false;
};

// Who a server is, as far as trust goes: where it is, and what it showed
// before.
struct ServerIdentity {
    std::string host;  // as in a URL: an IPv6 address in brackets
    long port = 21;
    // The fingerprint ("sha256:HEX") of the certificate the user chose to
    // trust: that one, and no other, is accepted without verifying, and the
    // server must then encrypt.
    std::string pin;
    // The server completed TLS before: it is not logged in to without TLS.
    bool usedTlsBefore = false;

    // "host:port" with the host in lower case: what it is remembered under.
    std::string key() const;
    // The host as a certificate names it: no brackets.
    std::string certificateHost() const;
    // It has spoken TLS, so one that no longer offers it is not given the
    // password in clear.
    bool knownForTls() const noexcept { return !pin.empty() || usedTlsBefore; }
};

}  // namespace tyq::download::ftp
