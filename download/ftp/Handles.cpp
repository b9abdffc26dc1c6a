#include "download/ftp/Handles.h"

#include <algorithm>

#include "common/Log.h"
#include "download/ftp/Peer.h"

namespace tyq::download::ftp {
namespace {

// A final reply line: three digits and a space.
bool isFinalReply(std::string_view line) {
    return line.size() >= 4 &&
           std::all_of(line.begin(), line.begin() + 3,
                       [](char c) { return c >= '0' && c <= '9'; }) &&
           line[3] == ' ';
}

}  // namespace

int replyCodeOf(std::string_view line) {
    return isFinalReply(line) ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : 0;
}

int Transport::Handles::onProgress(void* user, curl_off_t total, curl_off_t now, curl_off_t,
                                   curl_off_t) noexcept {
    auto& self = *static_cast<Handles*>(user);
    if (self.file != nullptr) {
        // SIZE's answer, else the size the RETR reply named. Resumed,
        // libcurl counts only what is left (after the bytes sent again),
        // and a reply may name either: the whole file is shown, as listed.
        if (self.resumedFrom > 0) {
            self.report(self.resumedFrom + std::max<curl_off_t>(now - self.resumedOverlap, 0),
                        self.resumedSize);
        } else {
            self.report(now, total > 0 ? total : self.file->told.said());
        }
    }
    return self.stop.stop_requested() ? 1 : 0;
}

int Transport::Handles::onSocket(void* user, curl_socket_t socket, curlsocktype purpose) noexcept {
    auto& self = *static_cast<Handles*>(user);
    if (purpose != CURLSOCKTYPE_ACCEPT || fromServer(self.easy, socket)) {
        return CURL_SOCKOPT_OK;
    }
    self.strangerRefused = true;
    return CURL_SOCKOPT_ERROR;
}

int Transport::Handles::onDebug(CURL*, curl_infotype type, char* data, size_t size,
                                void* user) noexcept {
    if (type == CURLINFO_HEADER_OUT) {
        auto& self = *static_cast<Handles*>(user);
        const std::string_view text(data, size);
        self.sentVerb.assign(text.substr(0, std::min(text.find_first_of(" \r\n"), std::size_t{8})));
        self.sawCommand = true;
    }
    return 0;
}

size_t Transport::Handles::onReply(char* data, size_t size, size_t count, void* user) noexcept {
    auto& self = *static_cast<Handles*>(user);
    std::string_view line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (isFinalReply(line)) {
        self.reply.assign(line.substr(0, kMaxReplyBytes + 4));
        const int code = replyCodeOf(line);
        // A server that spoke TLS to this session and now refuses it
        // would next be sent USER and PASS in clear.
        if (self.sentVerb == "AUTH" && code != 234 && code != 334 && self.tlsOptional &&
            self.encrypted) {
            self.refusal = Refusal::NoTls;
            log::record(log::Category::Tls, [code] {
                return "AUTH TLS refused (" + std::to_string(code) +
                       ") after this session used TLS: request ended";
            });
            return 0;
        }
        // Over an encrypted control connection the data must be too;
        // libcurl would carry on in clear where TLS was optional.
        if (self.sentVerb == "PROT" && code / 100 != 2) {
            self.refusal = Refusal::ClearData;
            log::record(log::Category::Tls, [code] {
                return "PROT P refused (" + std::to_string(code) + "): request ended";
            });
            return 0;
        }
        self.encrypted = self.encrypted || line.substr(0, 4) == "234 ";
    }
    if (self.file != nullptr) {
        self.file->told.read(line);
    }
    return size * count;
}

}  // namespace tyq::download::ftp
