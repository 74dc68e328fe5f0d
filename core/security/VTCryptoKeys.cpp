// The toolbox's older ciphers and its RSA keys: DES and triple DES, block padding, and RSA key
// pairs kept in the saved passwords' store with their PEM forms. Nothing else in the library uses
// them; they are here for tools and integrations that exchange such keys.
#include <array>
#include <memory>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include "core/security/LdCKeychainController.h"
#include "core/security/VTCrypto.h"
#include "core/security/VTPrivateKeyRSA.h"
#include "core/security/VTPublicKeyRSA.h"
#include "core/support/LdLogger.h"

namespace {

constexpr std::size_t kDESKeySize = 8;
constexpr std::size_t kDESBlockSize = 8;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using KeyContext = std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

// Single DES lives only in OpenSSL's legacy provider. It is loaded into a library context of our
// own, so the default context keeps its providers; context and cipher stay for the process.
const EVP_CIPHER* fetchCipher(const char* name) {
    static OSSL_LIB_CTX* const context = [] {
        OSSL_LIB_CTX* created = OSSL_LIB_CTX_new();
        if (created != nullptr) {
            OSSL_PROVIDER_load(created, "legacy");
            OSSL_PROVIDER_load(created, "default");
        }
        return created;
    }();
    return context != nullptr ? EVP_CIPHER_fetch(context, name, nullptr) : nullptr;
}

const EVP_CIPHER* desCipher() {
    static const EVP_CIPHER* const cipher = fetchCipher("DES-CBC");
    return cipher;
}

const EVP_CIPHER* tripleDesCipher() {
    static const EVP_CIPHER* const cipher = fetchCipher("DES-EDE3-CBC");
    return cipher;
}

std::optional<LdData> runCipher(const EVP_CIPHER* cipher,
                                const LdData& data,
                                const LdData& key,
                                bool encrypt) {
    if (cipher == nullptr || data.size() > static_cast<std::size_t>(INT32_MAX) - kDESBlockSize) {
        return std::nullopt;
    }
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    const std::array<unsigned char, kDESBlockSize> zeroIV{};
    if (!context || EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), zeroIV.data(),
                                      encrypt ? 1 : 0) != 1) {
        return std::nullopt;
    }
    LdData output(data.size() + kDESBlockSize);
    int written = 0;
    if (EVP_CipherUpdate(context.get(), output.data(), &written, data.data(),
                         static_cast<int>(data.size())) != 1) {
        return std::nullopt;
    }
    std::size_t produced = static_cast<std::size_t>(written);
    if (EVP_CipherFinal_ex(context.get(), output.data() + produced, &written) != 1) {
        OPENSSL_cleanse(output.data(), output.size());
        return std::nullopt;
    }
    output.resize(produced + static_cast<std::size_t>(written));
    return output;
}

std::optional<LdData> tripleDes(const LdData& data,
                                const LdData& key1,
                                const LdData& key2,
                                const LdData& key3,
                                bool encrypt) {
    if (key1.size() != kDESKeySize || key2.size() != kDESKeySize || key3.size() != kDESKeySize) {
        LdLogger::shared().log("ERROR: tripeDesEncrypt: Invalid key size.", 0);
        return std::nullopt;
    }
    LdData key = key1;
    key.insert(key.end(), key2.begin(), key2.end());
    key.insert(key.end(), key3.begin(), key3.end());
    auto result = runCipher(tripleDesCipher(), data, key, encrypt);
    OPENSSL_cleanse(key.data(), key.size());
    return result;
}

LdData generic(std::string_view keyClass) {
    return LdData(keyClass.begin(), keyClass.end());
}

std::optional<LdData> storedKey(std::string_view tag, int keyClass) {
    return LdCKeychainController::secretStore().findGenericPassword(
            VTCrypto::kRsaKeyService, tag,
            generic(keyClass == VTCrypto::kKeyClassPrivate ? "private" : "public"));
}

KeyPtr privateKeyOfTag(std::string_view tag) {
    auto der = storedKey(tag, VTCrypto::kKeyClassPrivate);
    if (!der) {
        return KeyPtr(nullptr, &EVP_PKEY_free);
    }
    const unsigned char* cursor = der->data();
    KeyPtr key(d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der->size())),
               &EVP_PKEY_free);
    OPENSSL_cleanse(der->data(), der->size());
    return key;
}

// The tag's public key: the one imported for it, else the public half of its private key.
KeyPtr publicKeyOfTag(std::string_view tag) {
    if (auto der = storedKey(tag, VTCrypto::kKeyClassPublic)) {
        const unsigned char* cursor = der->data();
        return KeyPtr(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(der->size())),
                      &EVP_PKEY_free);
    }
    return privateKeyOfTag(tag);
}

std::optional<LdData> runKeyOperation(EVP_PKEY* key, const LdData& data, bool encrypt) {
    if (key == nullptr) {
        return std::nullopt;
    }
    KeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr), &EVP_PKEY_CTX_free);
    if (!context ||
        (encrypt ? EVP_PKEY_encrypt_init(context.get()) : EVP_PKEY_decrypt_init(context.get())) !=
                1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1) {
        return std::nullopt;
    }
    std::size_t length = 0;
    const auto run = [&](unsigned char* output) {
        return encrypt ? EVP_PKEY_encrypt(context.get(), output, &length, data.data(), data.size())
                       : EVP_PKEY_decrypt(context.get(), output, &length, data.data(), data.size());
    };
    if (run(nullptr) != 1) {
        return std::nullopt;
    }
    LdData output(length);
    if (run(output.data()) != 1) {
        return std::nullopt;
    }
    output.resize(length);
    return output;
}

bool keep(std::string_view tag, int keyClass, const LdData& der, LdError* error) {
    LdSecretStore& store = LdCKeychainController::secretStore();
    const LdData kind = generic(keyClass == VTCrypto::kKeyClassPrivate ? "private" : "public");
    store.deleteGenericPassword(VTCrypto::kRsaKeyService, tag, kind);
    return store.addGenericPassword(VTCrypto::kRsaKeyService, tag, kind, der, error);
}

}  // namespace

std::optional<LdData> VTCrypto::desEncrypt(const LdData& data, const LdData& key) {
    return key.size() == kDESKeySize ? runCipher(desCipher(), data, key, true) : std::nullopt;
}

std::optional<LdData> VTCrypto::desDecrypt(const LdData& data, const LdData& key) {
    return key.size() == kDESKeySize ? runCipher(desCipher(), data, key, false) : std::nullopt;
}

std::optional<LdData> VTCrypto::tripleDesEncrypt(const LdData& data,
                                                 const LdData& key1,
                                                 const LdData& key2,
                                                 const LdData& key3) {
    return tripleDes(data, key1, key2, key3, true);
}

std::optional<LdData> VTCrypto::tripleDesDecrypt(const LdData& data,
                                                 const LdData& key1,
                                                 const LdData& key2,
                                                 const LdData& key3) {
    return tripleDes(data, key1, key2, key3, false);
}

LdData VTCrypto::performPaddingForData(const LdData& data, int paddingMode, std::size_t blockSize) {
    if (blockSize == 0 || blockSize > 255) {
        return data;
    }
    LdData padded = data;
    const std::size_t remainder = data.size() % blockSize;
    switch (paddingMode) {
        case kPaddingPKCS7: {
            const std::size_t count = blockSize - remainder;
            padded.insert(padded.end(), count, static_cast<std::uint8_t>(count));
            break;
        }
        case kPaddingZeros:
            if (remainder != 0) {
                padded.insert(padded.end(), blockSize - remainder, 0x00);
            }
            break;
        case kPaddingISO7816:
            padded.push_back(0x80);
            while (padded.size() % blockSize != 0) {
                padded.push_back(0x00);
            }
            break;
        default:
            break;
    }
    return padded;
}

bool VTCrypto::generateRsaKeyPairWithApplicationTag(std::string_view tag,
                                                    int bits,
                                                    LdError* error) {
    if (tag.empty() || bits < 1024 || bits > 16384) {
        return false;  // missing or unusable argument
    }
    if (storedKey(tag, kKeyClassPrivate)) {
        return failWith(error, LdError::errorWithTitle("_ERROR", "_SECRET_STORE_ITEM_EXISTS"));
    }
    KeyPtr key(EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(bits)),
               &EVP_PKEY_free);
    unsigned char* der = nullptr;
    const int length = key ? i2d_PrivateKey(key.get(), &der) : 0;
    if (length <= 0) {
        return failWith(error, LdError::errorWithTitle("_ERROR", kVTCryptoEncryptionFailed));
    }
    LdData bytes(der, der + length);
    OPENSSL_clear_free(der, static_cast<std::size_t>(length));
    const bool kept = keep(tag, kKeyClassPrivate, bytes, error);
    OPENSSL_cleanse(bytes.data(), bytes.size());
    return kept;
}

bool VTCrypto::deleteRsaKeyPairWithApplicationTag(std::string_view tag) {
    LdSecretStore& store = LdCKeychainController::secretStore();
    const bool privateDeleted =
            store.deleteGenericPassword(kRsaKeyService, tag, generic("private"));
    const bool publicDeleted = store.deleteGenericPassword(kRsaKeyService, tag, generic("public"));
    return privateDeleted || publicDeleted;
}

std::optional<LdData> VTCrypto::rsaEncrypt(const LdData& data, std::string_view tag) {
    KeyPtr key = publicKeyOfTag(tag);
    return runKeyOperation(key.get(), data, true);
}

std::optional<LdData> VTCrypto::rsaDecrypt(const LdData& data, std::string_view tag) {
    KeyPtr key = privateKeyOfTag(tag);
    return runKeyOperation(key.get(), data, false);
}

std::optional<LdData> VTCrypto::rsaSign(const LdData& data, std::string_view tag) {
    KeyPtr key = privateKeyOfTag(tag);
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::size_t length = 0;
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), nullptr, &length, data.data(), data.size()) != 1) {
        return std::nullopt;
    }
    LdData signature(length);
    if (EVP_DigestSign(context.get(), signature.data(), &length, data.data(), data.size()) != 1) {
        return std::nullopt;
    }
    signature.resize(length);
    return signature;
}

bool VTCrypto::rsaVerify(const LdData& data, const LdData& signature, std::string_view tag) {
    KeyPtr key = publicKeyOfTag(tag);
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    return key && context &&
           EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
           EVP_DigestVerify(context.get(), signature.data(), signature.size(), data.data(),
                            data.size()) == 1;
}

std::optional<std::string> VTCrypto::exportPublicRsaKeyAsPemSequenceWithApplicationTag(
        std::string_view tag) {
    if (auto der = storedKey(tag, kKeyClassPublic)) {
        auto key = VTPublicKeyRSA::fromDER(*der);
        return key ? std::optional(key->toBase64EncodedPKCS8FileRepresentationWithPEMArmor(true))
                   : std::nullopt;
    }
    auto der = storedKey(tag, kKeyClassPrivate);
    if (!der) {
        return std::nullopt;
    }
    auto key = VTPrivateKeyRSA::fromDER(*der);
    OPENSSL_cleanse(der->data(), der->size());
    if (!key) {
        return std::nullopt;
    }
    return key->publicKey().toBase64EncodedPKCS8FileRepresentationWithPEMArmor(true);
}

bool VTCrypto::importRsaKeyFromPemFileData(const LdData& pem,
                                           std::string_view label,
                                           int keyClass,
                                           LdError* error) {
    if (label.empty() || pem.empty()) {
        return false;  // missing argument
    }
    const std::string_view text(reinterpret_cast<const char*>(pem.data()), pem.size());
    if (keyClass == kKeyClassPrivate) {
        auto key = readPrivateKeyFromFileString(text);
        if (!key) {
            return failWith(error, LdError::errorWithTitle("_ERROR", kVTCryptoWrongKey));
        }
        return keep(label, kKeyClassPrivate, key->pkcs1Encoded(), error);
    }
    auto key = publicKeyFromPemSequence(text);
    if (!key) {
        return failWith(error, LdError::errorWithTitle("_ERROR", kVTCryptoWrongKey));
    }
    return keep(label, kKeyClassPublic, key->pkcs1Encoded(), error);
}

std::optional<VTPublicKeyRSA> VTCrypto::publicKeyFromPemSequence(std::string_view pem) {
    auto der = ldPemContent(pem);
    return der ? VTPublicKeyRSA::fromDER(*der) : std::nullopt;
}

std::optional<VTPrivateKeyRSA> VTCrypto::readPrivateKeyFromFileString(std::string_view pem) {
    auto der = ldPemContent(pem);
    if (!der) {
        return std::nullopt;
    }
    auto key = VTPrivateKeyRSA::fromDER(*der);
    OPENSSL_cleanse(der->data(), der->size());
    return key;
}
