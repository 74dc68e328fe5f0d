// Rijndael, the block cipher object of the previous major version's encrypted files: 128-bit
// blocks under a 128-bit key, each block on its own (electronic code book). That is AES-128; the
// work is done by OpenSSL's AES-128-ECB without padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/support/LdError.h"

struct evp_cipher_ctx_st;

// One key and its two cipher contexts. Not thread-safe: one object per thread; objects on different
// threads are independent. Movable, not copyable.
class Rijndael {
public:
    static constexpr std::size_t kBlockBytes = 16;
    static constexpr std::size_t kKeyBytes = 16;

    Rijndael();
    ~Rijndael();
    Rijndael(Rijndael&&) noexcept;
    Rijndael& operator=(Rijndael&&) noexcept;
    Rijndael(const Rijndael&) = delete;
    Rijndael& operator=(const Rijndael&) = delete;

    // MakeKey — sets the 16-byte key for both directions. A key of another length is a programmer
    // mistake and fails with an error; so does a failing cipher library.
    bool makeKey(std::span<const std::uint8_t> key, LdError* error = nullptr);
    bool hasKey() const { return hasKey_; }

    // blockSize / keySize — in bits; only 128 is supported for either.
    int blockSize() const { return 128; }
    int keySize() const { return 128; }

    // Encrypt:to:lengthInBytes: — encrypts `input`, whose length must be a multiple of 16, block by
    // block into `output` (same length; may be the same memory). False without a key, for a partial
    // block or when the cipher fails.
    bool encrypt(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) const;
    // Decrypt:to:lengthInBytes: — the inverse of encrypt, with the same conditions.
    bool decrypt(std::span<const std::uint8_t> input, std::span<std::uint8_t> output) const;

private:
    struct ContextDeleter {
        void operator()(evp_cipher_ctx_st* context) const;
    };
    using Context = std::unique_ptr<evp_cipher_ctx_st, ContextDeleter>;

    bool run(const Context& context,
             std::span<const std::uint8_t> input,
             std::span<std::uint8_t> output) const;

    Context encryptor_;
    Context decryptor_;
    bool hasKey_ = false;
};
