// The 128-bit Rijndael block cipher in electronic code book mode, over OpenSSL's AES-128-ECB with
// padding switched off (the legacy file format pads by itself).
#include "core/security/Rijndael.h"

#include <algorithm>
#include <climits>
#include <string>

#include <openssl/evp.h>

namespace {

constexpr const char* kRijndaelErrorTitle = "_ERROR";
// The EVP calls take int lengths; longer inputs go through in pieces of this many bytes (a
// multiple of the block size, so blocks never straddle two calls).
constexpr std::size_t kMaximumChunk = std::size_t{1} << 30;

}  // namespace

void Rijndael::ContextDeleter::operator()(evp_cipher_ctx_st* context) const {
    EVP_CIPHER_CTX_free(context);
}

Rijndael::Rijndael() = default;
Rijndael::~Rijndael() = default;
Rijndael::Rijndael(Rijndael&&) noexcept = default;
Rijndael& Rijndael::operator=(Rijndael&&) noexcept = default;

bool Rijndael::makeKey(std::span<const std::uint8_t> key, LdError* error) {
    hasKey_ = false;
    if (key.size() != kKeyBytes) {
        return failWith(error, LdError::errorWithTitle(kRijndaelErrorTitle,
                                                       "_ERROR_CRYPTING_INVALID_KEY_LENGTH"));
    }
    Context encryptor(EVP_CIPHER_CTX_new());
    Context decryptor(EVP_CIPHER_CTX_new());
    if (encryptor == nullptr || decryptor == nullptr ||
        EVP_CipherInit_ex(encryptor.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, 1) !=
                1 ||
        EVP_CipherInit_ex(decryptor.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, 0) !=
                1 ||
        EVP_CIPHER_CTX_set_padding(encryptor.get(), 0) != 1 ||
        EVP_CIPHER_CTX_set_padding(decryptor.get(), 0) != 1) {
        return failWith(error,
                        LdError::errorWithTitle(kRijndaelErrorTitle, "_ERROR_ENCRYPTING_FAILED"));
    }
    encryptor_ = std::move(encryptor);
    decryptor_ = std::move(decryptor);
    hasKey_ = true;
    return true;
}

bool Rijndael::encrypt(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) const {
    return run(encryptor_, input, output);
}

bool Rijndael::decrypt(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) const {
    return run(decryptor_, input, output);
}

bool Rijndael::run(const Context& context,
                   std::span<const std::uint8_t> input,
                   std::span<std::uint8_t> output) const {
    if (!hasKey_ || input.size() % kBlockBytes != 0 || output.size() != input.size()) {
        return false;
    }
    // Without padding and in whole blocks, every update writes exactly its input length, and ECB
    // keeps no state between blocks, so the context serves call after call.
    for (std::size_t offset = 0; offset < input.size();) {
        const std::size_t chunk = std::min(input.size() - offset, kMaximumChunk);
        int written = 0;
        if (EVP_CipherUpdate(context.get(), output.data() + offset, &written, input.data() + offset,
                             static_cast<int>(chunk)) != 1 ||
            static_cast<std::size_t>(written) != chunk) {
            return false;
        }
        offset += chunk;
    }
    return true;
}
