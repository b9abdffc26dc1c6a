#include "download/ftp/Sinks.h"

#include <algorithm>
#include <cstring>

#include "common/SmallFiles.h"
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
    if (const int error = writeAll(sink.fd, std::string_view(data + compared, bytes))) {
        sink.error = error;
        return 0;  // aborts the transfer
    }
    sink.written += static_cast<long long>(bytes);
    return given;
}

}  // namespace tyq::download::ftp
