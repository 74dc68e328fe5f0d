// The cryptographic toolbox on OpenSSL 3's EVP interfaces, and the ".crypt" file format of resource
// files: AES-CBC over the whole plain content, IV of 16 zero bytes, PKCS#7 padding, no header and
// no authentication tag.
#include "core/security/VTCrypto.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <system_error>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include "core/support/foundation/LdText.h"
#include "core/support/platform/LdFiles.h"

namespace {

constexpr std::size_t kAESBlockSize = 16;
// The EVP calls take int lengths; longer inputs go through in pieces of this size.
constexpr std::size_t kMaximumChunk = std::size_t{1} << 30;

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

const EVP_CIPHER* cbcCipherForKeyLength(std::size_t keyLength) {
    switch (keyLength) {
        case 16:
            return EVP_aes_128_cbc();
        case 24:
            return EVP_aes_192_cbc();
        case 32:
            return EVP_aes_256_cbc();
        default:
            return nullptr;
    }
}

std::optional<LdData> runCBCCipher(const LdData& data, const LdData& key, bool encrypt) {
    const EVP_CIPHER* cipher = cbcCipherForKeyLength(key.size());
    if (cipher == nullptr) {
        return std::nullopt;
    }
    CipherContext context(EVP_CIPHER_CTX_new(), &EVP_CIPHER_CTX_free);
    if (context == nullptr) {
        return std::nullopt;
    }
    const std::array<unsigned char, kAESBlockSize> zeroIV{};
    // PKCS#7 padding is the EVP default.
    if (EVP_CipherInit_ex(context.get(), cipher, nullptr, key.data(), zeroIV.data(),
                          encrypt ? 1 : 0) != 1) {
        return std::nullopt;
    }
    // Each update writes at most its input plus one block less one byte, the final step one block.
    LdData output(data.size() + kAESBlockSize);
    std::size_t produced = 0;
    for (std::size_t offset = 0; offset < data.size();) {
        const std::size_t chunk = std::min(data.size() - offset, kMaximumChunk);
        int written = 0;
        if (EVP_CipherUpdate(context.get(), output.data() + produced, &written,
                             data.data() + offset, static_cast<int>(chunk)) != 1) {
            OPENSSL_cleanse(output.data(), output.size());
            return std::nullopt;
        }
        produced += static_cast<std::size_t>(written);
        offset += chunk;
    }
    int written = 0;
    if (EVP_CipherFinal_ex(context.get(), output.data() + produced, &written) != 1) {
        // Typically a wrong key failing the padding check: wipe the garbage that was decrypted so
        // far.
        OPENSSL_cleanse(output.data(), output.size());
        return std::nullopt;
    }
    produced += static_cast<std::size_t>(written);
    output.resize(produced);
    return output;
}

// RIPEMD-160 is in the default provider from OpenSSL 3.0.7 on; older 3.0 releases have it only in
// the legacy provider, which is then loaded into a library context of our own (the default context
// keeps its providers). The fetched method and that context stay for the life of the process.
const EVP_MD* fetchRIPEMD160() {
    if (EVP_MD* digest = EVP_MD_fetch(nullptr, "RIPEMD160", nullptr)) {
        return digest;
    }
    OSSL_LIB_CTX* legacyContext = OSSL_LIB_CTX_new();
    if (legacyContext == nullptr || OSSL_PROVIDER_load(legacyContext, "legacy") == nullptr) {
        return nullptr;
    }
    return EVP_MD_fetch(legacyContext, "RIPEMD160", nullptr);
}

// The digest of `data`; empty only when OpenSSL lacks the algorithm, which no supported build does.
LdData digestOf(const EVP_MD* digest, const LdData& data) {
    if (digest == nullptr) {
        return {};
    }
    LdData output(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), output.data(), &length, digest, nullptr) != 1) {
        return {};
    }
    output.resize(length);
    return output;
}

LdError fileError(const char* descriptionKey,
                  const std::filesystem::path& path,
                  const std::string& reason = {}) {
    LdError error = LdError::errorWithTitle(kVTCryptoErrorTitle, descriptionKey);
    error.addDebugInfo("path", path.string());
    if (!reason.empty()) {
        error.addDebugInfo("reason", reason);
    }
    return error;
}

bool fileExists(const std::filesystem::path& path) {
    std::error_code code;
    return !path.empty() && std::filesystem::exists(path, code);
}

bool hasEncryptedExtension(const std::filesystem::path& path) {
    const std::string extension = path.extension().string();
    return !extension.empty() &&
           std::string_view(extension).substr(1) == VTCrypto::kEncryptedFileExtension;
}

bool endsWith(const LdData& data, std::string_view suffix) {
    return data.size() >= suffix.size() &&
           std::equal(suffix.begin(), suffix.end(),
                      data.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char expected, std::uint8_t byte) {
                          return static_cast<std::uint8_t>(expected) == byte;
                      });
}

bool isBlank(char character) {
    return character == ' ' || character == '\t' || character == '\n' || character == '\r' ||
           character == '\f' || character == '\v';
}

}  // namespace

std::optional<LdData> VTCrypto::aesEncrypt(const LdData& data, const LdData& key) {
    return runCBCCipher(data, key, /*encrypt=*/true);
}

std::optional<LdData> VTCrypto::aesDecrypt(const LdData& data, const LdData& key) {
    return runCBCCipher(data, key, /*encrypt=*/false);
}

std::optional<LdError> VTCrypto::aesEncryptFileAtURL(const std::filesystem::path& fileURL,
                                                     const LdData& key,
                                                     const std::filesystem::path& folderURL) {
    // Fixed order of checks: source exists, not yet encrypted, key given, key length.
    if (!fileExists(fileURL)) {
        return fileError(kVTCryptoFileNotExist, fileURL);
    }
    if (hasEncryptedExtension(fileURL)) {
        return fileError(kVTCryptoFileAlreadyEncrypted, fileURL);
    }
    if (key.empty()) {
        return fileError(kVTCryptoMissingPassword, fileURL);
    }
    if (cbcCipherForKeyLength(key.size()) == nullptr) {
        return fileError(kVTCryptoInvalidKeyLength, fileURL,
                         std::to_string(key.size()) + " key bytes");
    }
    std::string failure;
    const std::optional<LdData> plain = LdFiles::readFileContents(fileURL, &failure);
    if (!plain.has_value()) {
        return fileError(kVTCryptoReadFailed, fileURL, failure);
    }
    const std::optional<LdData> encrypted = aesEncrypt(*plain, key);
    if (!encrypted.has_value()) {
        return fileError(kVTCryptoEncryptionFailed, fileURL);
    }
    if (folderURL.empty()) {
        return fileError(kVTCryptoWriteFailed, fileURL, "no destination folder");
    }
    const std::filesystem::path destination =
            folderURL / (fileURL.filename().string() + "." + std::string(kEncryptedFileExtension));
    if (!LdFiles::writeFileAtomically(destination, *encrypted, &failure)) {
        return fileError(kVTCryptoWriteFailed, destination, failure);
    }
    return std::nullopt;
}

std::optional<LdError> VTCrypto::aesDecryptFileAtURL(const std::filesystem::path& encryptedURL,
                                                     const LdData& key,
                                                     const std::filesystem::path& folderURL) {
    // Fixed order of checks: file exists, key given, "crypt" extension, key length.
    if (!fileExists(encryptedURL)) {
        return fileError(kVTCryptoFileNotExist, encryptedURL);
    }
    if (key.empty()) {
        return fileError(kVTCryptoMissingPassword, encryptedURL);
    }
    if (!hasEncryptedExtension(encryptedURL)) {
        return fileError(kVTCryptoNotAnEncryptedFile, encryptedURL);
    }
    if (cbcCipherForKeyLength(key.size()) == nullptr) {
        return fileError(kVTCryptoInvalidKeyLength, encryptedURL,
                         std::to_string(key.size()) + " key bytes");
    }
    std::string failure;
    const std::optional<LdData> encrypted = LdFiles::readFileContents(encryptedURL, &failure);
    if (!encrypted.has_value()) {
        return fileError(kVTCryptoReadFailed, encryptedURL, failure);
    }
    std::optional<LdData> plain = aesDecrypt(*encrypted, key);
    if (!plain.has_value()) {
        // Decryption failed, almost always because of a wrong key. Nothing is written, and this
        // must be reported as a failure: answering success without an output file left callers to
        // guess, and a caller that trusts the answer would go on with a file that is not there.
        return fileError(kVTCryptoWrongKey, encryptedURL);
    }
    if (endsWith(*plain, kLegacyTrailer)) {
        plain->resize(plain->size() - kLegacyTrailer.size());
    }
    if (folderURL.empty()) {
        return fileError(kVTCryptoWriteFailed, encryptedURL, "no destination folder");
    }
    std::error_code code;
    std::filesystem::create_directories(folderURL, code);
    if (code) {
        return fileError(kVTCryptoWriteFailed, folderURL, "create folder: " + code.message());
    }
    const std::filesystem::path destination = folderURL / encryptedURL.stem();
    if (!LdFiles::writeFileAtomically(destination, *plain, &failure)) {
        return fileError(kVTCryptoWriteFailed, destination, failure);
    }
    return std::nullopt;
}

LdData VTCrypto::randomBytesOfLength(std::size_t length) {
    LdData bytes(length);
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t chunk = std::min(length - offset, kMaximumChunk);
        if (RAND_bytes(bytes.data() + offset, static_cast<int>(chunk)) != 1) {
            // Keys are made from these bytes; carrying on with predictable ones would be worse than
            // stopping.
            std::fputs("VTCrypto: the random generator failed\n", stderr);
            std::abort();
        }
        offset += chunk;
    }
    return bytes;
}

LdData VTCrypto::SHA512(const LdData& data) {
    static const EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA512", nullptr);
    return digestOf(digest, data);
}

LdData VTCrypto::SHA256(const LdData& data) {
    static const EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return digestOf(digest, data);
}

LdData VTCrypto::SHA1(const LdData& data) {
    static const EVP_MD* const digest = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    return digestOf(digest, data);
}

LdData VTCrypto::MD5(const LdData& data) {
    static const EVP_MD* const digest = EVP_MD_fetch(nullptr, "MD5", nullptr);
    return digestOf(digest, data);
}

LdData VTCrypto::RIPEMD160(const LdData& data) {
    static const EVP_MD* const digest = fetchRIPEMD160();
    return digestOf(digest, data);
}

std::string VTCrypto::dataToHexString(const LdData& data) {
    return hexStringFromData(data, " ");
}

std::string VTCrypto::hexStringFromData(const LdData& data, std::string_view separator) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(data.size() * (2 + separator.size()));
    for (std::size_t index = 0; index < data.size(); ++index) {
        if (index > 0) {
            text.append(separator);
        }
        text.push_back(kDigits[data[index] >> 4]);
        text.push_back(kDigits[data[index] & 0x0F]);
    }
    return text;
}

std::optional<LdData> VTCrypto::hexStringToData(std::string_view text) {
    LdData data;
    data.reserve(text.size() / 2);
    int high = -1;  // the first digit of a byte, while waiting for the second
    for (const char character : text) {
        if (isBlank(character)) {
            continue;
        }
        const int value = LdText::hexDigitValue(character);
        if (value < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = value;
        } else {
            data.push_back(static_cast<std::uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;  // odd number of digits
    }
    return data;
}
