#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <optional>
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

// The trust of one session's TLS connections, control and data alike: a
// certificate must verify against the trust store and name the host, or be
// the one pinned.
class TlsTrust {
  public:
    TlsTrust() = default;
    TlsTrust(const TlsTrust&) = delete;
    TlsTrust& operator=(const TlsTrust&) = delete;

    // The server the next connections must prove to be.
    void expect(const ServerIdentity& server);
    // Forgets the certificate of an earlier request.
    void beginRequest() noexcept;
    // Why the private trust store cannot be used: every handshake then fails
    // rather than fall back to another store.
    void setStoreFailure(std::string failure) { storeFailure_ = std::move(failure); }
    const std::string& storeFailure() const noexcept { return storeFailure_; }

    bool pinned() const noexcept { return !pin_.empty(); }
    const std::string& host() const noexcept { return host_; }
    // The last certificate a handshake of the request showed.
    const std::optional<Certificate>& seen() const noexcept { return seen_; }
    // The verification refused a handshake of the request.
    bool refused() const noexcept { return refused_; }

    // For CURLOPT_SSL_CTX_FUNCTION, with this as its data.
    static CURLcode onSslContext(CURL*, void* context, void* user) noexcept;

  private:
    static int onVerify(int ok, X509_STORE_CTX* store) noexcept;
    int judge(int ok, X509_STORE_CTX* store);

    std::string host_;
    std::string pin_;
    std::string storeFailure_;
    std::optional<Certificate> seen_;
    bool refused_ = false;
};

}  // namespace tyq::download::ftp
