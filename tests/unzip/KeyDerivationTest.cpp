#include "unzip/lib/KeyDerivation.h"

#include <gtest/gtest.h>
#include <nettle/pbkdf2.h>

#include <string>
#include <vector>

namespace tyq::unzip::lib {
namespace {

// The fast derivation must give nettle's generic PBKDF2-HMAC-SHA1 to the
// byte; a wrong key would only show as AES entries falling back to the slow
// reader, which no extraction test can see.
TEST(KeyDerivation, MatchesTheGenericPbkdf2) {
    const std::vector<std::string> passwords = {"",
                                                "p",
                                                "secret",
                                                std::string(63, 'a'),
                                                std::string(64, 'b'),
                                                std::string(65, 'c'),
                                                std::string(1000, 'd'),
                                                "ünïcödé\xA7"};
    const std::vector<std::size_t> saltSizes = {8, 12, 16};
    const std::vector<std::size_t> outSizes = {1, 20, 21, 34, 66};
    for (const auto& password : passwords) {
        for (const auto saltSize : saltSizes) {
            for (const auto outSize : outSizes) {
                std::vector<unsigned char> salt(saltSize);
                for (std::size_t i = 0; i < saltSize; ++i) {
                    salt[i] = static_cast<unsigned char>(i * 37 + password.size());
                }
                for (const unsigned iterations : {1u, 2u, 1000u}) {
                    std::vector<unsigned char> ours(outSize);
                    std::vector<unsigned char> generic(outSize);
                    pbkdf2Sha1(password, salt.data(), salt.size(), iterations, ours.data(),
                               ours.size());
                    pbkdf2_hmac_sha1(
                        password.size(), reinterpret_cast<const std::uint8_t*>(password.data()),
                        iterations, salt.size(), salt.data(), generic.size(), generic.data());
                    EXPECT_EQ(ours, generic)
                        << "password of " << password.size() << " bytes, salt " << saltSize
                        << ", out " << outSize << ", " << iterations << " rounds";
                }
            }
        }
    }
}

}  // namespace
}  // namespace tyq::unzip::lib
