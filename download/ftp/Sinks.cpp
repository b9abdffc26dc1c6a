#include "download/ftp/Sinks.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "download/ftp/Limits.h"

namespace tyq::download::ftp {

size_t discardData(char*, size_t size, size_t count, void*) {
    return size * count;
}

size_t appendListing(char* data, size_t size, size_t count, void* user) {
    auto& sink = *static_cast<ListingSink*>(user);
    const auto bytes = size * count;
    if (sink.text.size() + bytes > kMaxListingBytes) {
        sink.tooLong = true;
        return 0;
    }
    sink.text.append(data, bytes);
    return bytes;
}

size_t writeToFile(char* data, size_t size, size_t count, void* user) {
    auto& sink = *static_cast<FileSink*>(user);
    const auto given = size * count;
    size_t compared = 0;
    if (sink.matched < sink.expected.size()) {
        compared = std::min(given, sink.expected.size() - sink.matched);
        if (std::memcmp(data, sink.expected.data() + sink.matched, compared) != 0) {
            sink.differs = true;
            return 0;  // aborts the transfer
        }
        sink.matched += compared;
    }
    const auto bytes = given - compared;
    if (sink.limit >= 0 && sink.written + static_cast<long long>(bytes) > sink.limit) {
        sink.overrun = true;
        return 0;
    }
    size_t done = 0;
    while (done < bytes) {
        const auto n = ::write(sink.fd, data + compared + done, bytes - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            sink.error = n < 0 ? errno : ENOSPC;
            return 0;  // aborts the transfer
        }
        done += static_cast<size_t>(n);
    }
    sink.written += static_cast<long long>(bytes);
    return given;
}

}  // namespace tyq::download::ftp
