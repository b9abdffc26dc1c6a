#include "unzip/lib/DirectEntry.h"

#include "unzip/lib/ByteReads.h"
#include "unzip/lib/KeyDerivation.h"

#include <nettle/aes.h>
#include <nettle/hmac.h>
#include <nettle/memxor.h>
#include <nettle/sha1.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

namespace tyq::unzip::lib {
namespace {

constexpr unsigned kIterations = 1000;
constexpr std::size_t kVerifierSize = 2;
constexpr std::size_t kAuthSize = 10;
constexpr std::size_t kChunk = 256 * 1024;  // a multiple of the AES block
constexpr std::size_t kLocalHeaderSize = 30;
constexpr std::size_t kZipCryptoHeaderSize = 12;

void putLe64(unsigned char* out, std::uint64_t value) {
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

// WinZip's counter mode: a 128-bit little-endian counter that starts at 1.
class CounterStream {
  public:
    CounterStream(const unsigned char* key, std::size_t keySize) : keySize_(keySize) {
        switch (keySize_) {
            case AES128_KEY_SIZE:
                aes128_set_encrypt_key(&aes128_, key);
                break;
            case AES192_KEY_SIZE:
                aes192_set_encrypt_key(&aes192_, key);
                break;
            default:
                aes256_set_encrypt_key(&aes256_, key);
                break;
        }
    }
    // `size` is a multiple of 16 except for the entry's last piece.
    void apply(unsigned char* data, std::size_t size) {
        const std::size_t blocks = (size + AES_BLOCK_SIZE - 1) / AES_BLOCK_SIZE;
        if (pad_.size() < blocks * AES_BLOCK_SIZE) {
            pad_.resize(blocks * AES_BLOCK_SIZE);
        }
        for (std::size_t b = 0; b < blocks; ++b) {
            if (++low_ == 0) {
                ++high_;
            }
            putLe64(pad_.data() + b * AES_BLOCK_SIZE, low_);
            putLe64(pad_.data() + b * AES_BLOCK_SIZE + 8, high_);
        }
        const std::size_t length = blocks * AES_BLOCK_SIZE;
        switch (keySize_) {
            case AES128_KEY_SIZE:
                aes128_encrypt(&aes128_, length, pad_.data(), pad_.data());
                break;
            case AES192_KEY_SIZE:
                aes192_encrypt(&aes192_, length, pad_.data(), pad_.data());
                break;
            default:
                aes256_encrypt(&aes256_, length, pad_.data(), pad_.data());
                break;
        }
        memxor(data, pad_.data(), size);
    }

  private:
    std::size_t keySize_;
    aes128_ctx aes128_{};
    aes192_ctx aes192_{};
    aes256_ctx aes256_{};
    std::uint64_t low_ = 0;  // the counter's two halves
    std::uint64_t high_ = 0;
    std::vector<unsigned char> pad_;
};

// Traditional PKWARE encryption: three keys stepped by every plain byte.
// libarchive goes through zlib's crc32() once per byte, which costs more
// than the inflation; a table lookup does the same work.
class ZipCrypto {
  public:
    explicit ZipCrypto(const std::string& password) : table_(get_crc_table()) {
        for (const char c : password) {
            update(static_cast<unsigned char>(c));
        }
    }
    void decrypt(unsigned char* data, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            const std::uint32_t temp = (key2_ | 2u) & 0xFFFFu;
            const auto plain = static_cast<unsigned char>(
                data[i] ^ static_cast<unsigned char>((temp * (temp ^ 1u)) >> 8));
            data[i] = plain;
            update(plain);
        }
    }

  private:
    std::uint32_t crc(std::uint32_t value, unsigned char byte) const {
        return (value >> 8) ^ static_cast<std::uint32_t>(table_[(value ^ byte) & 0xFFu]);
    }
    void update(unsigned char byte) {
        key0_ = crc(key0_, byte);
        key1_ = (key1_ + (key0_ & 0xFFu)) * 134775813u + 1u;
        key2_ = crc(key2_, static_cast<unsigned char>(key1_ >> 24));
    }

    const z_crc_t* table_;
    std::uint32_t key0_ = 0x12345678u;
    std::uint32_t key1_ = 0x23456789u;
    std::uint32_t key2_ = 0x34567890u;
};

struct Inflater {
    z_stream stream{};
    bool ready = false;
    Inflater() { ready = inflateInit2(&stream, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ready) {
            inflateEnd(&stream);
        }
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
};

// The keys of one entry, and what comes before and after its encrypted data.
struct Decryption {
    std::size_t before = 0;
    std::size_t after = 0;
    std::optional<CounterStream> cipher;
    std::optional<ZipCrypto> crypto;
    hmac_sha1_ctx mac{};

    // Reads what precedes the data and checks the password against it.
    // False for a wrong password, most likely, or a header cut short.
    bool start(int fd, std::uint64_t at, const DirectoryEntry& entry, const std::string& password,
               const unsigned char* local) {
        if (entry.method == 99) {
            const std::size_t keySize = 8u + 8u * entry.aesStrength;  // 16, 24, 32
            const std::size_t saltSize = keySize / 2;
            before = saltSize + kVerifierSize;
            after = kAuthSize;
            unsigned char salt[16 + kVerifierSize];
            if (entry.compressedSize < before + after || !readAt(fd, at, salt, before)) {
                return false;
            }
            unsigned char keys[2 * 32 + kVerifierSize];
            pbkdf2Sha1(password, salt, saltSize, kIterations, keys, 2 * keySize + kVerifierSize);
            if (std::memcmp(keys + 2 * keySize, salt + saltSize, kVerifierSize) != 0) {
                return false;
            }
            cipher.emplace(keys, keySize);
            hmac_sha1_set_key(&mac, keySize, keys + keySize);
            return true;
        }
        before = kZipCryptoHeaderSize;
        unsigned char header[kZipCryptoHeaderSize];
        if (entry.compressedSize < before || !readAt(fd, at, header, before)) {
            return false;
        }
        crypto.emplace(password);
        crypto->decrypt(header, sizeof header);
        // The last byte repeats the CRC's high byte, or with a data
        // descriptor the high byte of the local header's time.
        const auto check = (le16(local + 6) & 8) != 0 ? static_cast<unsigned char>(local[11])
                                                      : static_cast<unsigned char>(entry.crc >> 24);
        return header[kZipCryptoHeaderSize - 1] == check;
    }

    void apply(unsigned char* data, std::size_t size) {
        if (cipher) {
            hmac_sha1_update(&mac, size, data);
            cipher->apply(data, size);
        } else {
            crypto->decrypt(data, size);
        }
    }

    // For AES, the authentication code after the data.
    bool authentic(int fd, std::uint64_t at) {
        if (!cipher) {
            return true;
        }
        unsigned char stored[kAuthSize];
        unsigned char computed[SHA1_DIGEST_SIZE];
        if (!readAt(fd, at, stored, sizeof stored)) {
            return false;
        }
        hmac_sha1_digest(&mac, sizeof computed, computed);
        return std::memcmp(stored, computed, kAuthSize) == 0;
    }
};

// The plain data on its way to the sink: inflated when deflated, its size
// and CRC checked as it goes.
class PlainData {
  public:
    PlainData(const DirectoryEntry& entry, bool deflated, bool checkCrc, const DataSink& sink)
        : entry_(entry),
          checkCrc_(checkCrc),
          sink_(sink),
          output_(deflated
                      ? static_cast<std::size_t>(std::min<std::uint64_t>(entry.size + 1, kChunk))
                      : 0),
          ended_(!deflated) {}

    bool ready() const { return output_.empty() || inflater_.ready; }

    // Decrypted bytes of the entry, in order.
    bool take(const unsigned char* data, std::size_t size) {
        if (output_.empty()) {
            return deliver(data, size);
        }
        if (ended_) {
            return false;  // data after the end of the deflate stream
        }
        z_stream& z = inflater_.stream;
        z.next_in = const_cast<unsigned char*>(data);
        z.avail_in = static_cast<uInt>(size);
        while (z.avail_in > 0 && !ended_) {
            z.next_out = output_.data();
            z.avail_out = static_cast<uInt>(output_.size());
            const int status = inflate(&z, Z_NO_FLUSH);
            if (status != Z_OK && status != Z_STREAM_END) {
                return false;
            }
            ended_ = status == Z_STREAM_END;
            if (!deliver(output_.data(), output_.size() - z.avail_out)) {
                return false;
            }
        }
        return !(ended_ && z.avail_in > 0);
    }

    // Whatever inflate still holds back once the input is all in; then the
    // size and the CRC.
    bool finish() {
        while (!ended_) {
            z_stream& z = inflater_.stream;
            z.next_in = nullptr;
            z.avail_in = 0;
            z.next_out = output_.data();
            z.avail_out = static_cast<uInt>(output_.size());
            const int status = inflate(&z, Z_FINISH);
            // Short of the end with room left in the output: the data is cut.
            if (status != Z_STREAM_END &&
                ((status != Z_OK && status != Z_BUF_ERROR) || z.avail_out != 0)) {
                return false;
            }
            ended_ = status == Z_STREAM_END;
            if (!deliver(output_.data(), output_.size() - z.avail_out)) {
                return false;
            }
        }
        return written_ == entry_.size && (!checkCrc_ || crc_ == entry_.crc);
    }

  private:
    bool deliver(const unsigned char* data, std::size_t size) {
        if (written_ + size > entry_.size) {
            return false;
        }
        if (checkCrc_) {
            crc_ = static_cast<std::uint32_t>(crc32(crc_, data, static_cast<uInt>(size)));
        }
        sink_(reinterpret_cast<const char*>(data), size, written_);
        written_ += size;
        return true;
    }

    const DirectoryEntry& entry_;
    const bool checkCrc_;
    const DataSink& sink_;
    Inflater inflater_;
    std::vector<unsigned char> output_;
    bool ended_;
    std::uint64_t written_ = 0;
    std::uint32_t crc_ = 0;
};

}  // namespace

bool isDirectEntry(const DirectoryEntry& entry) {
    if (!entry.sizesKnown || (entry.flags & 1) == 0) {
        return false;
    }
    if (entry.method == 99) {
        return (entry.aesVersion == 1 || entry.aesVersion == 2) && entry.aesStrength >= 1 &&
               entry.aesStrength <= 3 && (entry.aesMethod == 0 || entry.aesMethod == 8);
    }
    // Bit 6 is strong encryption, which is neither of ours.
    return (entry.flags & 0x40) == 0 && entry.aesVersion == 0 &&
           (entry.method == 0 || entry.method == 8);
}

bool readDirectEntry(int fd, std::uint64_t fileSize, const DirectoryEntry& entry,
                     const std::string& password, const DataSink& sink) {
    if (!isDirectEntry(entry) || password.empty()) {
        return false;
    }
    unsigned char local[kLocalHeaderSize];
    if (entry.localOffset > fileSize || !readAt(fd, entry.localOffset, local, sizeof local) ||
        std::memcmp(local, "PK\3\4", 4) != 0) {
        return false;
    }
    const std::uint64_t start =
        entry.localOffset + kLocalHeaderSize + le16(local + 26) + le16(local + 28);
    if (start > fileSize || entry.compressedSize > fileSize - start) {
        return false;
    }
    const bool aes = entry.method == 99;
    Decryption keys;
    if (!keys.start(fd, start, entry, password, local)) {
        return false;
    }
    PlainData plain(entry, (aes ? entry.aesMethod : entry.method) == 8,
                    !aes || entry.aesVersion == 1, sink);
    if (!plain.ready()) {
        return false;
    }
    std::uint64_t position = start + keys.before;
    std::uint64_t left = entry.compressedSize - keys.before - keys.after;
    // Small entries are the common case: buffers no larger than they need.
    std::vector<unsigned char> input(static_cast<std::size_t>(
        std::min<std::uint64_t>(std::max<std::uint64_t>(left, 1), kChunk)));
    while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, input.size()));
        if (!readAt(fd, position, input.data(), n)) {
            return false;
        }
        position += n;
        left -= n;
        keys.apply(input.data(), n);
        if (!plain.take(input.data(), n)) {
            return false;
        }
    }
    return plain.finish() && keys.authentic(fd, position);
}

}  // namespace tyq::unzip::lib
