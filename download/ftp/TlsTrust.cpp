#include "download/ftp/TlsTrust.h"

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <vector>

#include "common/Log.h"
#include "common/PrivateFile.h"
#include "common/ShownText.h"

namespace tyq::download::ftp {
namespace {

// Enough of a certificate's name, or a file's, for anyone to judge it.
constexpr std::size_t kMaxNameBytes = 200;
// A trust store bigger than this is not one (the system's is under 1 MB).
constexpr std::size_t kMaxStoreBytes = 16u << 20;

// Where the verify callback finds its trust: an index of the SSL_CTX's own,
// so nothing libcurl keeps there is disturbed.
int trustIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

struct BioDeleter {
    void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};

std::string nameOf(const X509_NAME* name) {
    std::unique_ptr<BIO, BioDeleter> bio(BIO_new(BIO_s_mem()));
    if (!bio || name == nullptr) {
        return {};
    }
    X509_NAME_print_ex(bio.get(), name, 0,
                       (XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) | ASN1_STRFLGS_UTF8_CONVERT);
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0
               ? shownText(std::string_view(data, static_cast<std::size_t>(size)), kMaxNameBytes)
               : std::string();
}

std::string timeOf(const ASN1_TIME* time) {
    std::tm parts{};
    char text[32];
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1 ||
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0) {
        return "unknown";
    }
    return text;
}

// "sha256:HEX" of the certificate's DER form; empty when it cannot be had.
std::string fingerprintOf(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (certificate == nullptr || X509_digest(certificate, EVP_sha256(), digest, &length) != 1) {
        return {};
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text = "sha256:";
    for (unsigned int i = 0; i < length; ++i) {
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0xF];
    }
    return text;
}

// Every reason the server's certificate does not verify, first the one
// OpenSSL stopped at: it stops at the first, so the name and the dates,
// which a user can judge, are checked here as well.
std::string verifyReasons(int error, X509* leaf, const std::string& host) {
    std::vector<int> errors{error};
    const int address = X509_check_ip_asc(leaf, host.c_str(), 0);
    const int named =
        address >= 0 ? address : X509_check_host(leaf, host.data(), host.size(), 0, nullptr);
    if (named != 1) {
        errors.push_back(address >= 0 ? X509_V_ERR_IP_ADDRESS_MISMATCH
                                      : X509_V_ERR_HOSTNAME_MISMATCH);
    }
    if (X509_cmp_current_time(X509_get0_notAfter(leaf)) < 0) {
        errors.push_back(X509_V_ERR_CERT_HAS_EXPIRED);
    } else if (X509_cmp_current_time(X509_get0_notBefore(leaf)) > 0) {
        errors.push_back(X509_V_ERR_CERT_NOT_YET_VALID);
    }
    std::string text;
    for (std::size_t i = 0; i < errors.size(); ++i) {
        if (std::find(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(i), errors[i]) ==
            errors.begin() + static_cast<std::ptrdiff_t>(i)) {
            text +=
                (text.empty() ? "" : ", ") + std::string(X509_verify_cert_error_string(errors[i]));
        }
    }
    return text;
}

}  // namespace

void TlsTrust::loadStore(CURL* easy) {
    // libcurl reads no variable for it: this one lets a private CA be used.
    // It is read here, a regular file only: libcurl would open a FIFO named
    // there and wait on it where no stop reaches.
    const char* bundle = std::getenv("TYQLMFTP_CA_FILE");
    if (bundle == nullptr || *bundle == 0) {
        return;
    }
    privateStore_ = true;
    auto read = readRegularFile(bundle, kMaxStoreBytes);
    curl_blob blob{read.text.data(), read.text.size(), CURL_BLOB_NOCOPY};
    if (!read.ok()) {
        storeFailure_ = shownText(bundle, kMaxNameBytes) + ": " + read.failure();
    } else if (curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob) != CURLE_OK) {
        storeFailure_ = shownText(bundle, kMaxNameBytes) + ": this libcurl cannot take it";
    } else {
        store_ = std::move(read.text);
    }
}

void TlsTrust::applyStore(CURL* easy) const {
    if (!privateStore_) {
        return;
    }
    if (!store_.empty()) {
        // libcurl keeps the pointer: the bytes live as long as the trust.
        curl_blob blob{const_cast<char*>(store_.data()), store_.size(), CURL_BLOB_NOCOPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(easy, CURLOPT_CAINFO, static_cast<char*>(nullptr));
    curl_easy_setopt(easy, CURLOPT_CAPATH, static_cast<char*>(nullptr));
}

void TlsTrust::expect(const ServerIdentity& server) {
    host_ = server.certificateHost();
    pin_ = server.pin;
}

void TlsTrust::beginRequest() noexcept {
    seen_.reset();
    refused_ = false;
}

CURLcode TlsTrust::onSslContext(CURL*, void* context, void* user) noexcept {
    auto* ctx = static_cast<SSL_CTX*>(context);
    auto& self = *static_cast<TlsTrust*>(user);
    if (!self.storeFailure_.empty()) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    if (trustIndex() < 0 || SSL_CTX_set_ex_data(ctx, trustIndex(), &self) != 1) {
        return CURLE_SSL_CONNECT_ERROR;
    }
    // The name is checked in the handshake too, so a wrong one is caught
    // with the certificate in hand.
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    if (X509_VERIFY_PARAM_set1_ip_asc(param, self.host_.c_str()) != 1 &&
        X509_VERIFY_PARAM_set1_host(param, self.host_.c_str(), 0) != 1) {
        return CURLE_SSL_CONNECT_ERROR;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, &TlsTrust::onVerify);
    return CURLE_OK;
}

// OpenSSL's verdict on each certificate of the chain, the server's own last.
int TlsTrust::onVerify(int ok, X509_STORE_CTX* store) noexcept {
    try {
        auto* ssl = static_cast<SSL*>(
            X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto* self =
            ssl == nullptr
                ? nullptr
                : static_cast<TlsTrust*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), trustIndex()));
        return self == nullptr ? 0 : self->judge(ok, store);
    } catch (...) {
        return 0;
    }
}

// A handshake fails here unless the chain verifies and names the host, or
// the server's certificate is the pinned one.
int TlsTrust::judge(int ok, X509_STORE_CTX* store) {
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    const auto fingerprint = fingerprintOf(leaf);
    if (leaf == nullptr || fingerprint.empty()) {
        return 0;
    }
    if (!seen_ || seen_->fingerprint != fingerprint) {
        seen_ = Certificate{nameOf(X509_get_subject_name(leaf)),
                            nameOf(X509_get_issuer_name(leaf)),
                            timeOf(X509_get0_notBefore(leaf)),
                            timeOf(X509_get0_notAfter(leaf)),
                            fingerprint,
                            {},
                            false};
    }
    // Each certificate of the chain comes by; the server's own, at depth 0,
    // is the decision worth a record.
    const bool last = X509_STORE_CTX_get_error_depth(store) == 0;
    using log::Category;
    if (!pin_.empty()) {
        if (fingerprint == pin_) {
            if (last) {
                log::record(Category::Tls, [&] { return host_ + ": the pinned certificate"; });
            }
            return 1;
        }
        seen_->changed = true;
        refused_ = true;
        log::record(Category::Tls, [&] {
            return host_ + ": refused, the certificate has changed from " + pin_ + " to " +
                   fingerprint;
        });
        return 0;
    }
    if (ok != 1) {
        seen_->reason = verifyReasons(X509_STORE_CTX_get_error(store), leaf, host_);
        refused_ = true;
        log::record(Category::Tls, [&] {
            return host_ + ": refused " + fingerprint + " (" + seen_->subject +
                   "): " + seen_->reason;
        });
        return 0;
    }
    if (last) {
        log::record(Category::Tls, [&] {
            return host_ + ": verified " + fingerprint + " (" + seen_->subject + ")";
        });
    }
    return 1;
}

}  // namespace tyq::download::ftp
