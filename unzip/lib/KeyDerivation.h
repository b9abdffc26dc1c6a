#pragma once

#include <cstddef>
#include <string>

namespace tyq::unzip::lib {

// PBKDF2 with HMAC-SHA1, as AES zip entries derive their keys. Every entry
// derives its keys with 1000 iterations, which for archives of many small
// files is most of the work, so the iterations run on the compression
// function itself: two compressions each, where the generic HMAC would copy
// contexts and pad the message every time.
void pbkdf2Sha1(const std::string& password, const unsigned char* salt, std::size_t saltSize,
                unsigned iterations, unsigned char* out, std::size_t outSize);

}  // namespace tyq::unzip::lib
