#include <cstring>

#include "unzip/UnzipLibrary.h"

// Compiled into each shipped library that hands the callback to the unzip
// library (not taken from a static library, whose symbols stay hidden), so
// that it is exported by name from what is installed.
namespace {

constexpr char kWarningReply[] = "Extract Warning";

}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t DynaUnzipMsgCallBack(
    std::uint32_t code, std::uint32_t value, std::int32_t first, std::int32_t second,
    const char* text, char* reply, void* opaque) {
    using namespace tyq::unzip;
    if (code == kWarningMessage && reply != nullptr) {
        std::memcpy(reply, kWarningReply, sizeof kWarningReply);
    }
    if (opaque == nullptr ||
        (code != kTotalMessage && code != kProgressMessage && code != kWarningMessage)) {
        return 0;
    }
    UnzipProgress* const context = UnzipProgress::registered(opaque);
    if (context == nullptr) {
        return 0;
    }
    auto& progress = *context;
    try {
        if (code == kWarningMessage) {
            if (text != nullptr) {
                progress.warning(text);
            }
            return 0;
        }
        if (code == kTotalMessage) {
            const std::uint64_t total = static_cast<std::uint32_t>(first) |
                                        std::uint64_t{static_cast<std::uint32_t>(second)} << 32;
            return progress.total(total) ? 1 : 0;
        }
        return progress.advance(value) ? 1 : 0;
    } catch (...) {
        // Nothing may unwind into the library; a progress display that
        // failed is no reason to end the extraction.
    }
    return progress.stopRequested() ? 1 : 0;
}
