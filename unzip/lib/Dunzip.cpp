// The library's one entry: takes the program's command record and extracts.

#include <locale.h>

#include <cstddef>
#include <cstring>
#include <new>
#include <string>

#include "unzip/UnzipCommand.h"
#include "unzip/lib/Extract.h"

namespace {

// Entry names reach us through libarchive's conversion to the thread's
// character type. The program's locale may be "C", which cannot hold a
// converted CP437 or UTF-8 name, so this thread reads names as UTF-8 while
// the command runs, without touching the process's locale.
class Utf8Names {
  public:
    Utf8Names() : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0))) {
        if (locale_ != static_cast<locale_t>(0)) {
            previous_ = uselocale(locale_);
        }
    }
    ~Utf8Names() {
        if (locale_ != static_cast<locale_t>(0)) {
            uselocale(previous_);
            freelocale(locale_);
        }
    }
    Utf8Names(const Utf8Names&) = delete;
    Utf8Names& operator=(const Utf8Names&) = delete;

  private:
    locale_t locale_;
    locale_t previous_ = static_cast<locale_t>(0);
};

}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t dunzip(
    tyq::unzip::UnzipCommand* command) noexcept {
    using namespace tyq::unzip;
    try {
        if (command == nullptr || command->recordSize < kUnzipCommandSize ||
            command->operation != kExtractOperation || command->archiveName == nullptr ||
            command->destination == nullptr) {
            return code::kCommandSyntax;
        }
        // Copied out field by field: the record is packed, so its fields may
        // not be bound to references.
        const char* archive = command->archiveName;
        const char* destination = command->destination;
        const char* itemMask = command->itemMask;
        const char* password = command->password;
        const UnzipMessageCallback callback = command->messageCallback;
        lib::ExtractRequest request;
        request.archive = archive;
        request.destination = destination;
        if (itemMask != nullptr) {
            request.itemMask = itemMask;
        }
        if (command->passwordGiven != 0 && password != nullptr) {
            request.password = std::string(password);
        }
        request.callback = callback;
        // An address in unaligned bytes of the packed record: copied, not
        // cast; taken only under its tag, since other callers may leave
        // anything in those bytes.
        static_assert(offsetof(UnzipCommand, field130) == kContextOffset);
        static_assert(sizeof request.context + sizeof kContextTag <= sizeof command->field130);
        constexpr std::size_t kTagAt = kContextTagOffset - kContextOffset;
        static_assert(kTagAt == sizeof request.context);
        std::uint32_t tag = 0;
        std::memcpy(&tag, command->field130 + kTagAt, sizeof tag);
        if (tag == kContextTag) {
            std::memcpy(&request.context, command->field130, sizeof request.context);
        }
        const Utf8Names names;
        return lib::extractArchive(request);
    } catch (const std::bad_alloc&) {
        return code::kOutOfMemory;
    } catch (...) {
        return code::kStructureInvalid;
    }
}
