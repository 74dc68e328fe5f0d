// The legacy key derivation: MD5 of password and salt, then MD5 of the digest per iteration.
#include "core/security/pilPBKDF1.h"

#include "core/security/VTCrypto.h"

std::optional<LdData> pilPBKDF1::deriveKey(std::string_view password,
                                           std::string_view salt,
                                           int iterations,
                                           std::size_t keyLength) {
    if (keyLength != kKeyLength || iterations < 0) {
        return std::nullopt;
    }
    LdData input(password.begin(), password.end());
    input.insert(input.end(), salt.begin(), salt.end());
    LdData digest = VTCrypto::MD5(input);
    for (int round = 0; round < iterations; ++round) {
        digest = VTCrypto::MD5(digest);
    }
    if (digest.size() != kKeyLength) {
        return std::nullopt;  // the digest is unavailable
    }
    return digest;
}
