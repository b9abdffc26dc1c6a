#pragma once

// The command record that the program hands to the unzip library's entry
// "dunzip", shared by the library and the program's binding. It is a wire
// format: field order and offsets are fixed, the record is packed and
// little-endian, and address fields are 64 bits wide.

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tyq::unzip {

// The message callback the library is given in the record: (message code,
// unsigned value, signed value, signed value, text, reply buffer, opaque).
using UnzipMessageCallback = std::int32_t (*)(std::uint32_t, std::uint32_t, std::int32_t,
                                              std::int32_t, const char*, char*, void*);

#pragma pack(push, 1)
struct UnzipCommand {
    std::uint32_t recordSize;
    std::uint32_t operation;
    const char* archiveName;
    std::uint32_t field16;
    const char* itemMask;
    std::int32_t field28;
    const char* destination;
    std::uint32_t field40;
    std::uint32_t field44;
    std::uint32_t optionA;
    std::uint32_t optionB;
    std::uint32_t field56;
    std::uint32_t field60;
    std::uint32_t field64;
    std::uint32_t field68[9];
    std::uint32_t passwordGiven;
    const char* password;
    UnzipMessageCallback messageCallback;
    std::uint32_t field124;
    std::uint16_t field128;
    std::uint8_t field130[32];
};
#pragma pack(pop)

static_assert(std::endian::native == std::endian::little, "the record is little-endian");
static_assert(sizeof(void*) == 8, "address fields are 64 bits wide");
static_assert(offsetof(UnzipCommand, recordSize) == 0);
static_assert(offsetof(UnzipCommand, operation) == 4);
static_assert(offsetof(UnzipCommand, archiveName) == 8);
static_assert(offsetof(UnzipCommand, field16) == 16);
static_assert(offsetof(UnzipCommand, itemMask) == 20);
static_assert(offsetof(UnzipCommand, field28) == 28);
static_assert(offsetof(UnzipCommand, destination) == 32);
static_assert(offsetof(UnzipCommand, field40) == 40);
static_assert(offsetof(UnzipCommand, field44) == 44);
static_assert(offsetof(UnzipCommand, optionA) == 48);
static_assert(offsetof(UnzipCommand, optionB) == 52);
static_assert(offsetof(UnzipCommand, field56) == 56);
static_assert(offsetof(UnzipCommand, field60) == 60);
static_assert(offsetof(UnzipCommand, field64) == 64);
static_assert(offsetof(UnzipCommand, field68) == 68);
static_assert(sizeof(UnzipCommand::field68) == 36);
static_assert(offsetof(UnzipCommand, passwordGiven) == 104);
static_assert(offsetof(UnzipCommand, password) == 108);
static_assert(offsetof(UnzipCommand, messageCallback) == 116);
static_assert(offsetof(UnzipCommand, field124) == 124);
static_assert(offsetof(UnzipCommand, field128) == 128);
static_assert(offsetof(UnzipCommand, field130) == 130);
static_assert(sizeof(UnzipCommand) == 162);

inline constexpr std::uint32_t kUnzipCommandSize = sizeof(UnzipCommand);
// The only operation the program requests: extract the items matching itemMask.
inline constexpr std::uint32_t kExtractOperation = 8;
// The message code by which the library reports a warning; the callback may
// answer through the reply buffer.
inline constexpr std::uint32_t kWarningMessage = 8;
// Progress and stop, an addition to the record that keeps its size and
// offsets: the first 8 bytes of field130 may hold a context address, which
// counts only when the 4 bytes after it hold kContextTag (little-endian), so
// a caller that leaves other bytes there gets none of it. With a context the
// library passes it as the callback's last argument (warnings included) and
// sends, from any of its reader threads, several at once:
//   kTotalMessage once, before it writes: first and second hold the low and
//     high 32 bits of the bytes it will write in all;
//   kProgressMessage as it writes, about every megabyte and at the end of
//     each file: value holds the bytes written since that thread's last such
//     message. Together they come to the total once every file is written.
// A non-zero return from either asks the library to stop: it removes what it
// wrote of the archive and returns code::kCancelled. Without a context the
// callback hears only warnings, with a null last argument.
inline constexpr std::uint32_t kTotalMessage = 20;
inline constexpr std::uint32_t kProgressMessage = 21;
inline constexpr std::size_t kContextOffset = 130;
inline constexpr std::size_t kContextTagOffset = 138;
inline constexpr std::uint32_t kContextTag = 0x43505954;  // "TYPC"
// Room the library gives the callback's reply buffer.
inline constexpr std::size_t kReplyBufferSize = 256;

// The entry "dunzip": 0 when every item matching itemMask is in destination
// as it stands in the archive, otherwise one of the codes below; on any
// failure nothing of the archive is left in destination and the files it
// would have replaced are as they were.
using DunzipEntry = std::int32_t (*)(UnzipCommand*);

// Result codes of "dunzip".
namespace code {
inline constexpr std::int32_t kOk = 0;
inline constexpr std::int32_t kUnexpectedEnd = 2;
// Also: a damaged or hostile layout, such as entries whose data overlap or
// sizes that add up past what a file can hold.
inline constexpr std::int32_t kStructureInvalid = 3;
inline constexpr std::int32_t kOutOfMemory = 4;
inline constexpr std::int32_t kFileNotFound = 9;
inline constexpr std::int32_t kNothingToExtract = 11;
inline constexpr std::int32_t kCreateOutputFailed = 28;
inline constexpr std::int32_t kOpenArchiveFailed = 29;
// Also an entry that inflates past the size it declares: it is stopped there.
inline constexpr std::int32_t kBadCrc = 39;
inline constexpr std::int32_t kCancelled = 40;
inline constexpr std::int32_t kSkippedEncrypted = 41;
// Also an entry we cannot decrypt at all (strong encryption) or whose method
// under AES encryption we cannot read, whatever the password.
inline constexpr std::int32_t kUnknownCompression = 42;
// A password that fails its check, or damaged encrypted data.
inline constexpr std::int32_t kBadPassword = 44;
inline constexpr std::int32_t kCommandSyntax = 47;
// An entry could not be put in the folder as it stands, so the archive is
// not taken as extracted: two entries of one name, names the destination
// takes for one file (letter case on a FAT disk), a link or special file
// (never created), or a top-level QLM*.ZIP entry that would replace a
// downloaded archive (any letter case). A warning names each entry first.
inline constexpr std::int32_t kSkipped = 49;
// Also when the sizes the archive declares exceed the free space of the
// destination: refused before anything is written.
inline constexpr std::int32_t kDiskFull = 50;
}  // namespace code

}  // namespace tyq::unzip
