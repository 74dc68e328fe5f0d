// Fuzz target of the older password file format's decoder. The first byte gives the length of the
// password that follows (up to 31 bytes); the rest is the encrypted content. Whatever decrypts must
// encrypt again under the same password to content that decrypts to the same bytes; anything else
// must fail with an error (without one only when the password is missing), never crash.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/security/LdCFileEncryptDecrypt.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::size_t passwordLength = std::min<std::size_t>(data[0] & 0x1FU, size - 1);
    const std::string password(reinterpret_cast<const char*>(data + 1), passwordLength);
    const LdData content(data + 1 + passwordLength, data + size);

    const LdCFileEncryptDecrypt codec;
    LdError error;
    const std::optional<LdData> plain = codec.decryptData(content, password, &error);
    if (!plain) {
        // Only a missing password fails without an error.
        if (!password.empty() && !error.isSet()) {
            std::abort();
        }
        return 0;
    }
    const std::optional<LdData> again = codec.encryptData(*plain, password);
    if (!again || codec.decryptData(*again, password) != plain) {
        std::abort();
    }
    return 0;
}
