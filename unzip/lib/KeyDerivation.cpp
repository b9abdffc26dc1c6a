#include "unzip/lib/KeyDerivation.h"

#include <nettle/hmac.h>
#include <nettle/memxor.h>
#include <nettle/sha1.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tyq::unzip::lib {
namespace {

void putBe32(unsigned char* out, std::uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// The digest of a 20-byte message whose padded block is `block`, from the
// state after the key's pad: one compression, written back into `out`.
void finishDigest(const std::uint32_t* padState, const unsigned char* block, unsigned char* out) {
    std::uint32_t state[5];
    std::memcpy(state, padState, sizeof state);
    nettle_sha1_compress(state, block);
    for (int i = 0; i < 5; ++i) {
        putBe32(out + 4 * i, state[i]);
    }
}

}  // namespace

void pbkdf2Sha1(const std::string& password, const unsigned char* salt, std::size_t saltSize,
                unsigned iterations, unsigned char* out, std::size_t outSize) {
    unsigned char key[SHA1_BLOCK_SIZE] = {};
    if (password.size() > SHA1_BLOCK_SIZE) {
        sha1_ctx hash{};
        sha1_init(&hash);
        sha1_update(&hash, password.size(), reinterpret_cast<const std::uint8_t*>(password.data()));
        sha1_digest(&hash, SHA1_DIGEST_SIZE, key);
    } else {
        std::memcpy(key, password.data(), password.size());
    }
    constexpr std::uint32_t kInitial[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476,
                                           0xC3D2E1F0};
    std::uint32_t inner[5];
    std::uint32_t outer[5];
    std::memcpy(inner, kInitial, sizeof inner);
    std::memcpy(outer, kInitial, sizeof outer);
    unsigned char pad[SHA1_BLOCK_SIZE];
    for (std::size_t i = 0; i < sizeof pad; ++i) {
        pad[i] = key[i] ^ 0x36;
    }
    nettle_sha1_compress(inner, pad);
    for (std::size_t i = 0; i < sizeof pad; ++i) {
        pad[i] = key[i] ^ 0x5c;
    }
    nettle_sha1_compress(outer, pad);

    // A 20-byte message after a 64-byte pad, padded to one block.
    unsigned char block[SHA1_BLOCK_SIZE] = {};
    block[SHA1_DIGEST_SIZE] = 0x80;
    putBe32(block + SHA1_BLOCK_SIZE - 4, (SHA1_BLOCK_SIZE + SHA1_DIGEST_SIZE) * 8);

    for (std::uint32_t index = 1; outSize > 0; ++index) {
        // The first round hashes salt and block index: the generic HMAC.
        hmac_sha1_ctx first{};
        hmac_sha1_set_key(&first, password.size(),
                          reinterpret_cast<const std::uint8_t*>(password.data()));
        hmac_sha1_update(&first, saltSize, salt);
        unsigned char count[4];
        putBe32(count, index);
        hmac_sha1_update(&first, sizeof count, count);
        unsigned char u[SHA1_DIGEST_SIZE];
        hmac_sha1_digest(&first, sizeof u, u);
        unsigned char t[SHA1_DIGEST_SIZE];
        std::memcpy(t, u, sizeof t);
        for (unsigned round = 1; round < iterations; ++round) {
            std::memcpy(block, u, sizeof u);
            finishDigest(inner, block, u);
            std::memcpy(block, u, sizeof u);
            finishDigest(outer, block, u);
            memxor(t, u, sizeof t);
        }
        const std::size_t n = std::min<std::size_t>(outSize, sizeof t);
        std::memcpy(out, t, n);
        out += n;
        outSize -= n;
    }
}

}  // namespace tyq::unzip::lib
