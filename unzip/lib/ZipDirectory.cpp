#include "unzip/lib/ZipDirectory.h"

#include "unzip/lib/ByteReads.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace tyq::unzip::lib {
namespace {

constexpr std::size_t kEndRecordSize = 22;
constexpr std::size_t kMaxComment = 0xFFFF;
constexpr std::size_t kLocatorSize = 20;
constexpr std::size_t kEnd64Size = 56;
constexpr std::size_t kHeaderSize = 46;

bool hasSignature(int fd, std::uint64_t offset, const char* signature) {
    unsigned char bytes[4];
    return readAt(fd, offset, bytes, sizeof bytes) && std::memcmp(bytes, signature, 4) == 0;
}

// Sequential reads within [position, end) through a small buffer.
class Reader {
  public:
    Reader(int fd, std::uint64_t position, std::uint64_t end)
        : fd_(fd), position_(position), end_(end), buffer_(64 * 1024) {}

    bool read(unsigned char* out, std::size_t size) {
        while (size > 0) {
            if (begin_ == filled_ && !fill()) {
                return false;
            }
            const std::size_t n = std::min(size, filled_ - begin_);
            std::memcpy(out, buffer_.data() + begin_, n);
            begin_ += n;
            out += n;
            size -= n;
        }
        return true;
    }
    bool skip(std::size_t size) {
        const std::size_t buffered = std::min(size, filled_ - begin_);
        begin_ += buffered;
        size -= buffered;
        if (size > end_ - position_) {
            return false;
        }
        position_ += size;
        return true;
    }

  private:
    bool fill() {
        const std::uint64_t left = end_ - position_;
        if (left == 0) {
            return false;
        }
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer_.size()));
        if (!readAt(fd_, position_, buffer_.data(), n)) {
            return false;
        }
        position_ += n;
        begin_ = 0;
        filled_ = n;
        return true;
    }

    int fd_;
    std::uint64_t position_;
    std::uint64_t end_;
    std::vector<unsigned char> buffer_;
    std::size_t begin_ = 0;
    std::size_t filled_ = 0;
};

// Where the central directory is, as the end record (or its Zip64 form)
// tells it.
struct EndRecord {
    std::uint64_t position = 0;
    std::uint64_t entries = 0;
    std::uint64_t directorySize = 0;
    std::uint64_t directoryOffset = 0;
};

DirectoryState findEndRecord(int fd, std::uint64_t fileSize, EndRecord& record) {
    if (fileSize < kEndRecordSize) {
        return DirectoryState::NoEndRecord;
    }
    const std::size_t tailSize =
        static_cast<std::size_t>(std::min<std::uint64_t>(fileSize, kEndRecordSize + kMaxComment));
    const std::uint64_t tailStart = fileSize - tailSize;
    std::vector<unsigned char> tail(tailSize);
    if (!readAt(fd, tailStart, tail.data(), tail.size())) {
        return DirectoryState::Damaged;
    }
    // The last end record whose comment fits in the file.
    std::size_t at = tailSize - kEndRecordSize + 1;
    bool found = false;
    while (at-- > 0) {
        const unsigned char* p = tail.data() + at;
        if (std::memcmp(p, "PK\5\6", 4) == 0 && at + kEndRecordSize + le16(p + 20) <= tailSize) {
            found = true;
            break;
        }
    }
    if (!found) {
        return DirectoryState::NoEndRecord;
    }
    const unsigned char* end = tail.data() + at;
    record.position = tailStart + at;
    record.entries = le16(end + 10);
    record.directorySize = le32(end + 12);
    record.directoryOffset = le32(end + 16);
    if (record.entries == 0xFFFF || record.directorySize == 0xFFFFFFFF ||
        record.directoryOffset == 0xFFFFFFFF) {
        unsigned char locator[kLocatorSize];
        if (record.position < kLocatorSize ||
            !readAt(fd, record.position - kLocatorSize, locator, sizeof locator) ||
            std::memcmp(locator, "PK\6\7", 4) != 0) {
            return DirectoryState::Damaged;
        }
        const std::uint64_t end64Position = le64(locator + 8);
        unsigned char end64[kEnd64Size];
        if (end64Position > fileSize - kEnd64Size ||
            !readAt(fd, end64Position, end64, sizeof end64) ||
            std::memcmp(end64, "PK\6\6", 4) != 0) {
            return DirectoryState::Damaged;
        }
        record.position = end64Position;
        record.entries = le64(end64 + 32);
        record.directorySize = le64(end64 + 40);
        record.directoryOffset = le64(end64 + 48);
    }
    return DirectoryState::Ok;
}

// A central header's fields and extra fields (Zip64 values, AES), with its
// local header's offset as the archive states it.
DirectoryEntry readEntry(const unsigned char* header, const std::vector<unsigned char>& name,
                         const std::vector<unsigned char>& extra, std::uint64_t& offset) {
    DirectoryEntry entry;
    entry.name.assign(name.begin(), name.end());
    entry.flags = le16(header + 8);
    entry.method = le16(header + 10);
    entry.crc = le32(header + 16);
    entry.compressedSize = le32(header + 20);
    entry.size = le32(header + 24);
    entry.sizesKnown = entry.compressedSize != 0xFFFFFFFF && entry.size != 0xFFFFFFFF &&
                       le32(header + 42) != 0xFFFFFFFF;
    offset = le32(header + 42);
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        const std::uint16_t id = le16(extra.data() + at);
        const std::size_t length = le16(extra.data() + at + 2);
        if (at + 4 + length > extra.size()) {
            // Zero bytes to the end are padding (alignment tools write
            // them), anything else a field cut short: neither is read.
            break;
        }
        const unsigned char* data = extra.data() + at + 4;
        if (id == 0x0001) {
            // Zip64: the 64-bit values of the fields that hold all ones, in
            // this order.
            std::size_t used = 0;
            for (std::uint64_t* field : {&entry.size, &entry.compressedSize, &offset}) {
                if (*field == 0xFFFFFFFF && used + 8 <= length) {
                    *field = le64(data + used);
                    used += 8;
                }
            }
        } else if (id == 0x9901 && length >= 7) {
            entry.aesVersion = le16(data);
            entry.aesStrength = data[4];
            entry.aesMethod = le16(data + 5);
        }
        at += 4 + length;
    }
    return entry;
}

}  // namespace

DirectoryState scanCentralDirectory(int fd, std::uint64_t fileSize,
                                    std::vector<DirectoryEntry>* collected) {
    EndRecord record;
    if (const DirectoryState state = findEndRecord(fd, fileSize, record);
        state != DirectoryState::Ok) {
        return state;
    }
    if (record.entries == 0) {
        return DirectoryState::Empty;
    }
    if (record.directorySize > record.position) {
        return DirectoryState::Damaged;
    }
    // Data in front of the archive (a self-extractor's stub) shifts every
    // offset; the directory then ends right before the end record.
    std::uint64_t start = record.directoryOffset;
    std::uint64_t shift = 0;
    if (record.directoryOffset > record.position - record.directorySize ||
        !hasSignature(fd, start, "PK\1\2")) {
        start = record.position - record.directorySize;
        shift = start - record.directoryOffset;
        if (!hasSignature(fd, start, "PK\1\2")) {
            return DirectoryState::Damaged;
        }
    }

    Reader reader(fd, start, record.position);
    std::vector<unsigned char> name;
    for (std::uint64_t i = 0; i < record.entries; ++i) {
        unsigned char header[kHeaderSize];
        if (!reader.read(header, sizeof header) || std::memcmp(header, "PK\1\2", 4) != 0) {
            return DirectoryState::Damaged;
        }
        name.resize(le16(header + 28));
        if (!reader.read(name.data(), name.size())) {
            return DirectoryState::Damaged;
        }
        if (std::find(name.begin(), name.end(), 0) != name.end()) {
            return DirectoryState::NulInName;
        }
        if (collected == nullptr) {
            if (!reader.skip(std::size_t{le16(header + 30)} + le16(header + 32))) {
                return DirectoryState::Damaged;
            }
            continue;
        }
        std::vector<unsigned char> extra(le16(header + 30));
        if (!reader.read(extra.data(), extra.size()) || !reader.skip(le16(header + 32))) {
            return DirectoryState::Damaged;
        }
        std::uint64_t offset = 0;
        DirectoryEntry entry = readEntry(header, name, extra, offset);
        if (__builtin_add_overflow(offset, shift, &entry.localOffset)) {
            return DirectoryState::Damaged;
        }
        collected->push_back(std::move(entry));
    }
    return DirectoryState::Ok;
}

bool dataOverlaps(int fd, std::uint64_t fileSize, const std::vector<DirectoryEntry>& entries) {
    // Each entry's local header and data, as [start, end).
    std::vector<std::pair<std::uint64_t, std::uint64_t>> regions;
    regions.reserve(entries.size());
    for (const DirectoryEntry& entry : entries) {
        unsigned char local[30];
        std::uint64_t end = entry.localOffset;
        if (entry.localOffset < fileSize && readAt(fd, entry.localOffset, local, sizeof local) &&
            std::memcmp(local, "PK\3\4", 4) == 0) {
            const std::uint64_t header = sizeof local + le16(local + 26) + le16(local + 28);
            if (__builtin_add_overflow(end, header, &end) ||
                __builtin_add_overflow(end, entry.compressedSize, &end)) {
                return true;
            }
        } else if (__builtin_add_overflow(end, 1, &end)) {
            // No header to go by (libarchive names the fault): the start
            // alone may not be shared.
            return true;
        }
        regions.emplace_back(entry.localOffset, end);
    }
    std::sort(regions.begin(), regions.end());
    for (std::size_t i = 1; i < regions.size(); ++i) {
        if (regions[i].first < regions[i - 1].second) {
            return true;
        }
    }
    return false;
}

}  // namespace tyq::unzip::lib
