#include "download/ftp/Address.h"

#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>

#include "download/ftp/TlsTrust.h"

namespace tyq::download::ftp {
namespace {

struct CurlUrlDeleter {
    void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

struct CurlStringDeleter {
    void operator()(char* text) const noexcept { curl_free(text); }
};

std::string withoutBlanksAround(std::string_view typed) {
    const auto first = typed.find_first_not_of(" \t");
    const auto last = typed.find_last_not_of(" \t");
    return std::string(first == std::string_view::npos ? std::string_view{}
                                                       : typed.substr(first, last - first + 1));
}

// The typed text as a URL: "ftp://" before a bare host or IPv6 address.
std::string asUrl(const std::string& text) {
    if (text.find("://") != std::string::npos) {
        return text;
    }
    if (std::count(text.begin(), text.end(), ':') > 1 && text.front() != '[') {
        return "ftp://[" + text + "]";  // a bare IPv6 address
    }
    return "ftp://" + text;
}

}  // namespace

Address parseAddress(std::string_view typed) {
    const std::string text = withoutBlanksAround(typed);
    if (text.empty()) {
        return {{}, 0, Address::Problem::Missing, text};
    }
    const Address notAnAddress{{}, 0, Address::Problem::NotAnAddress, text};
    const std::string full = asUrl(text);
    // libcurl's own parser, so a name with '/', '@' or the like cannot
    // smuggle in a path or credentials.
    std::unique_ptr<CURLU, CurlUrlDeleter> url(curl_url());
    if (!url) {
        return {{}, 0, Address::Problem::OutOfMemory, text};
    }
    if (curl_url_set(url.get(), CURLUPART_URL, full.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
        CURLUE_OK) {
        return notAnAddress;
    }
    const auto part = [&](CURLUPart which) -> std::optional<std::string> {
        char* value = nullptr;
        if (curl_url_get(url.get(), which, &value, 0) != CURLUE_OK || value == nullptr) {
            return std::nullopt;
        }
        return std::string(std::unique_ptr<char, CurlStringDeleter>(value).get());
    };
    const auto scheme = part(CURLUPART_SCHEME);
    const auto path = part(CURLUPART_PATH);
    if (!scheme || strcasecmp(scheme->c_str(), "ftp") != 0 || part(CURLUPART_USER) ||
        part(CURLUPART_PASSWORD) || part(CURLUPART_OPTIONS) || part(CURLUPART_QUERY) ||
        part(CURLUPART_FRAGMENT) || (path && !path->empty() && *path != "/")) {
        return notAnAddress;
    }
    Address address{{}, 0, Address::Problem::None, text};
    if (const auto host = part(CURLUPART_HOST); host && !host->empty()) {
        address.host = *host;
    } else {
        return notAnAddress;
    }
    if (const auto port = part(CURLUPART_PORT)) {
        address.port = std::strtol(port->c_str(), nullptr, 10);
    }
    return address;
}

long portOf(const Address& address, long setting) {
    const long port = address.port != 0 ? address.port : setting;
    return port == 0 ? 21 : port;
}

std::string serverKey(std::string_view typed, long setting) {
    const auto address = parseAddress(typed);
    const long port = portOf(address, setting);
    if (address.host.empty() || port < 1 || port > 65535) {
        return {};
    }
    return ServerIdentity{address.host, port, {}, false}.key();
}

}  // namespace tyq::download::ftp
