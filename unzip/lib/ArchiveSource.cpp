#include "unzip/lib/ArchiveSource.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "unzip/lib/ArchiveErrors.h"

namespace tyq::unzip::lib {
namespace {

la_ssize_t readSource(archive* a, void* data, const void** block) {
    auto& source = *static_cast<Source*>(data);
    for (;;) {
        const ssize_t n = ::pread(source.fd, source.buffer.data(), source.buffer.size(),
                                  static_cast<off_t>(source.position));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            archive_set_error(a, errno, "Error reading the archive");
            return -1;
        }
        source.position += n;
        *block = source.buffer.data();
        return n;
    }
}

la_int64_t seekSource(archive*, void* data, la_int64_t offset, int whence) {
    auto& source = *static_cast<Source*>(data);
    const std::int64_t base = whence == SEEK_SET   ? 0
                              : whence == SEEK_CUR ? source.position
                                                   : source.size;
    if (base + offset < 0) {
        return ARCHIVE_FATAL;
    }
    source.position = base + offset;
    return source.position;
}

la_int64_t skipSource(archive*, void* data, la_int64_t request) {
    auto& source = *static_cast<Source*>(data);
    const std::int64_t left = std::max<std::int64_t>(0, source.size - source.position);
    const std::int64_t skipped = std::min<std::int64_t>(request, left);
    source.position += skipped;
    return skipped;
}

}  // namespace

void failWithErrno(int error) {
    throw ExtractError{codeForErrno(error)};
}

void warn(const ExtractRequest& request, const std::string& text) {
    if (request.callback == nullptr) {
        return;
    }
    char reply[kReplyBufferSize] = {};
    request.callback(kWarningMessage, 0, 0, 0, text.c_str(), reply, request.context);
}

// Only the reader that goes by the central directory is enabled: it knows
// every size and CRC up front.
ArchivePtr openArchive(Source& source, const ExtractRequest& request) {
    source.position = 0;
    ArchivePtr a(archive_read_new());
    if (!a) {
        throw ExtractError{code::kOutOfMemory};
    }
    archive_read_support_format_zip_seekable(a.get());
    // Names without the UTF-8 flag come from DOS-era tools.
    archive_read_set_format_option(a.get(), "zip", "hdrcharset", "CP437");
    // libarchive refuses an empty passphrase; an encrypted entry then fails as
    // one without a password, which is what it is.
    if (request.password && !request.password->empty()) {
        if (archive_read_add_passphrase(a.get(), request.password->c_str()) != ARCHIVE_OK) {
            throw ExtractError{code::kOutOfMemory};
        }
    }
    archive_read_set_callback_data(a.get(), &source);
    archive_read_set_read_callback(a.get(), readSource);
    archive_read_set_seek_callback(a.get(), seekSource);
    archive_read_set_skip_callback(a.get(), skipSource);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
        throw ExtractError{classifyArchiveError(a.get(), ReadStage::Open, false)};
    }
    return a;
}

const char* entryName(archive_entry* entry) {
    const char* name = archive_entry_pathname_utf8(entry);
    return name != nullptr ? name : archive_entry_pathname(entry);
}

}  // namespace tyq::unzip::lib
