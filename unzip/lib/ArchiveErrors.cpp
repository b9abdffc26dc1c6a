#include "unzip/lib/ArchiveErrors.h"

#include <archive.h>

#include <cerrno>
#include <string_view>

#include "unzip/UnzipCommand.h"

namespace tyq::unzip::lib {
namespace {

bool contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace

std::int32_t classifyArchiveError(archive* a, ReadStage stage, bool encrypted) {
    const char* error = archive_error_string(a);
    const std::string_view text = error != nullptr ? error : "";
    if (archive_errno(a) == ENOMEM) {
        return code::kOutOfMemory;
    }
    if (contains(text, "Unsupported ZIP compression method")) {
        return code::kUnknownCompression;
    }
    // A wrong or missing password ("Incorrect passphrase", "Passphrase
    // required for this entry"), and damage to encrypted data: traditional
    // encryption cannot tell a wrong password that passed its one-byte check
    // from damaged data, both end in a data or CRC error.
    if (stage == ReadStage::Data && encrypted) {
        return code::kBadPassword;
    }
    if (contains(text, "Truncated") || contains(text, "truncated")) {
        return code::kUnexpectedEnd;
    }
    if (stage == ReadStage::Open && contains(text, "Unrecognized archive format")) {
        return code::kOpenArchiveFailed;
    }
    // Bad CRC, failed decompression, wrong sizes: the data is damaged.
    if (stage == ReadStage::Data) {
        return code::kBadCrc;
    }
    return code::kStructureInvalid;
}

std::int32_t codeForErrno(int error) {
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            return code::kDiskFull;
        case ENOMEM:
            return code::kOutOfMemory;
        default:
            return code::kCreateOutputFailed;
    }
}

}  // namespace tyq::unzip::lib
