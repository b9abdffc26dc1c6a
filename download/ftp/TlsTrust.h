#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>

#include <optional>
#include <string>

#include "download/ftp/Identity.h"

namespace tyq::download::ftp {

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
    // Reads the private trust store TYQLMFTP_CA_FILE names, if it names one.
    void loadStore(CURL* easy);
    // Hands libcurl the private trust store in place of the system's.
    void applyStore(CURL* easy) const;
    // Why the private trust store cannot be used: every handshake then fails
    // rather than fall back to another store.
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
    bool privateStore_ = false;
    // Read once: libcurl is handed these bytes for every request.
    std::string store_;
    std::string storeFailure_;
    std::optional<Certificate> seen_;
    bool refused_ = false;
};

}  // namespace tyq::download::ftp
