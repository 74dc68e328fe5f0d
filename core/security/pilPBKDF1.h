// pilPBKDF1, the key derivation of the previous major version's encrypted files: repeated MD5 over
// the password and a salt.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "core/support/foundation/LdValue.h"

// Stateless; thread-safe. The class keeps its given name.
class pilPBKDF1 {  // NOLINT(readability-identifier-naming)
public:
    pilPBKDF1() = delete;

    static constexpr std::size_t kKeyLength = 16;

    // DeriveKey — the MD5 digest of the UTF-8 bytes of `password` followed by those of `salt`, then
    // replaced by its own MD5 digest `iterations` times (so iterations + 1 digests in all); the 16
    // bytes of the last digest. Only the key length 16 is supported: nothing for any other length
    // or a negative iteration count.
    static std::optional<LdData> deriveKey(std::string_view password,
                                           std::string_view salt,
                                           int iterations,
                                           std::size_t keyLength);
};
