// The legacy password-based file format: "FILECRYPT" trailer, 0x01-then-zeros padding, Rijndael-128
// per block under a pilPBKDF1 key. Decryption tells a wrong password (0) from other failures (-1).
#include "core/security/LdCFileEncryptDecrypt.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include <openssl/crypto.h>

#include "core/security/Rijndael.h"
#include "core/security/pilPBKDF1.h"
#include "core/support/platform/LdFiles.h"

namespace {

constexpr std::size_t kBlock = Rijndael::kBlockBytes;

LdError fileError(const char* titleKey,
                  const char* descriptionKey,
                  const std::filesystem::path& path,
                  const std::string& reason = {}) {
    LdError error = LdError::errorWithTitle(titleKey, descriptionKey);
    error.addDebugInfo("fileName", path.filename().string());
    error.addDebugInfo("path", path.string());
    if (!reason.empty()) {
        error.addDebugInfo("reason", reason);
    }
    return error;
}

std::optional<Rijndael> cipherForPassword(const std::string& password) {
    const std::optional<LdData> key =
            pilPBKDF1::deriveKey(password, LdCFileEncryptDecrypt::kSalt,
                                 LdCFileEncryptDecrypt::kIterations, pilPBKDF1::kKeyLength);
    if (!key) {
        return std::nullopt;
    }
    Rijndael cipher;
    if (!cipher.makeKey(*key)) {
        return std::nullopt;
    }
    return cipher;
}

bool endsWithTrailer(const LdData& data) {
    const std::string_view trailer = LdCFileEncryptDecrypt::kTrailer;
    return data.size() >= trailer.size() &&
           std::equal(trailer.begin(), trailer.end(),
                      data.end() - static_cast<std::ptrdiff_t>(trailer.size()),
                      [](char expected, std::uint8_t byte) {
                          return static_cast<std::uint8_t>(expected) == byte;
                      });
}

bool hasEncryptedExtension(const std::filesystem::path& path) {
    const std::string extension = path.extension().string();
    return !extension.empty() &&
           std::string_view(extension).substr(1) == LdCFileEncryptDecrypt::kExtension;
}

bool samePath(const std::filesystem::path& first, const std::filesystem::path& second) {
    std::error_code code;
    const std::filesystem::path firstFull = std::filesystem::weakly_canonical(first, code);
    if (code) {
        return first == second;
    }
    const std::filesystem::path secondFull = std::filesystem::weakly_canonical(second, code);
    return code ? first == second : firstFull == secondFull;
}

}  // namespace

void LdCFileEncryptDecrypt::setCancellationCheck(std::function<bool()> isCancelled) {
    isCancelled_ = std::move(isCancelled);
}

std::filesystem::path LdCFileEncryptDecrypt::encryptedFilePathFor(
        const std::filesystem::path& sourcePath, const std::filesystem::path& folder) {
    return folder / (sourcePath.filename().string() + "." + std::string(kExtension));
}

std::optional<LdData> LdCFileEncryptDecrypt::encryptContent(LdData content,
                                                            const std::string& password,
                                                            const char** failureKey) const {
    *failureKey = kLdLegacyCryptEncryptionFailed;
    std::optional<Rijndael> cipher = cipherForPassword(password);
    if (!cipher) {
        return std::nullopt;
    }
    content.insert(content.end(), kTrailer.begin(), kTrailer.end());
    // Always at least one padding byte: 0x01, then zeros to the end of the block.
    const std::size_t fullBlocks = content.size() / kBlock;
    content.push_back(0x01);
    content.resize((fullBlocks + 1) * kBlock, 0x00);

    LdData encrypted(content.size());
    const std::size_t step = kBlocksBetweenCancellationChecks * kBlock;
    bool succeeded = true;
    for (std::size_t offset = 0; offset < content.size(); offset += step) {
        if (offset > 0 && isCancelled_ && isCancelled_()) {
            *failureKey = kLdLegacyCryptCancelled;
            succeeded = false;
            break;
        }
        const std::size_t length = std::min(step, content.size() - offset);
        if (!cipher->encrypt(std::span(content).subspan(offset, length),
                             std::span(encrypted).subspan(offset, length))) {
            succeeded = false;
            break;
        }
    }
    OPENSSL_cleanse(content.data(), content.size());
    if (!succeeded) {
        return std::nullopt;
    }
    return encrypted;
}

LdCFileEncryptDecrypt::Decrypted LdCFileEncryptDecrypt::decryptContent(
        const LdData& data, const std::string& password, const char* wrongPasswordKey) {
    const std::size_t fullLength = data.size() - data.size() % kBlock;
    if (fullLength == 0) {
        return {std::nullopt, LdLegacyDecryptResult::Failed, kLdLegacyCryptTooSmall};
    }
    std::optional<Rijndael> cipher = cipherForPassword(password);
    if (!cipher) {
        return {std::nullopt, LdLegacyDecryptResult::Failed, kLdLegacyCryptEncryptionFailed};
    }
    // Every full block on its own; bytes after the last full block belong to no block.
    LdData plain(fullLength);
    if (!cipher->decrypt(std::span(data).first(fullLength), plain)) {
        return {std::nullopt, LdLegacyDecryptResult::Failed, kLdLegacyCryptEncryptionFailed};
    }
    // Padding: trailing zeros, then one 0x01. Anything else means the key was wrong.
    const auto lastNonZero = std::find_if(plain.rbegin(), plain.rend(),
                                          [](std::uint8_t byte) { return byte != 0x00; });
    if (lastNonZero == plain.rend() || *lastNonZero != 0x01) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return {std::nullopt, LdLegacyDecryptResult::WrongPassword, wrongPasswordKey};
    }
    plain.resize(static_cast<std::size_t>(plain.rend() - lastNonZero) - 1);
    // Exactly the trailer is an empty original; fewer bytes cannot hold the trailer at all.
    if (plain.size() < kTrailer.size()) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return {std::nullopt, LdLegacyDecryptResult::Failed, kLdLegacyCryptTooSmall};
    }
    if (!endsWithTrailer(plain)) {
        OPENSSL_cleanse(plain.data(), plain.size());
        return {std::nullopt, LdLegacyDecryptResult::WrongPassword, wrongPasswordKey};
    }
    plain.resize(plain.size() - kTrailer.size());
    return {std::move(plain), LdLegacyDecryptResult::Succeeded, nullptr};
}

std::optional<LdData> LdCFileEncryptDecrypt::encryptData(const LdData& data,
                                                         const std::string& password,
                                                         LdError* error) const {
    if (password.empty()) {
        return std::nullopt;  // missing argument: no error
    }
    const char* failureKey = nullptr;
    std::optional<LdData> encrypted = encryptContent(data, password, &failureKey);
    if (!encrypted) {
        failWith(error, LdError::errorWithTitle(kLdLegacyCryptDataTitle, failureKey));
    }
    return encrypted;
}

std::optional<LdData> LdCFileEncryptDecrypt::decryptData(const LdData& data,
                                                         const std::string& password,
                                                         LdError* error) const {
    if (password.empty()) {
        return std::nullopt;  // missing argument: no error
    }
    Decrypted decrypted = decryptContent(data, password, kLdLegacyCryptDataWrongPassword);
    if (!decrypted.plain) {
        failWith(error, LdError::errorWithTitle(kLdLegacyCryptDataTitle, decrypted.failureKey));
    }
    return std::move(decrypted.plain);
}

bool LdCFileEncryptDecrypt::encryptFileAtPath(const std::filesystem::path& sourcePath,
                                              const std::filesystem::path& folderPath,
                                              const std::string& password,
                                              LdError* error) const {
    if (sourcePath.empty() || folderPath.empty() || password.empty()) {
        return false;  // missing argument: no error
    }
    std::error_code code;
    if (!std::filesystem::exists(sourcePath, code)) {
        return failWith(error,
                        fileError(kLdLegacyCryptFileTitle, kLdLegacyCryptFileNotExist, sourcePath));
    }
    const std::filesystem::path destination = encryptedFilePathFor(sourcePath, folderPath);
    // An older encrypted file goes first; when it cannot, the atomic write below still replaces
    // it, so the failure is only reported.
    if (std::filesystem::exists(destination, code) && !std::filesystem::remove(destination, code) &&
        code) {
        failWith(error, fileError(kLdLegacyCryptFileTitle, kLdLegacyCryptDeleteFailed, destination,
                                  code.message()));
    }
    std::string failure;
    const std::optional<LdData> content = LdFiles::readFileContents(sourcePath, &failure);
    if (!content) {
        return failWith(error, fileError(kLdLegacyCryptFileTitle, kLdLegacyCryptReadFailed,
                                         sourcePath, failure));
    }
    const char* failureKey = nullptr;
    const std::optional<LdData> encrypted = encryptContent(*content, password, &failureKey);
    if (!encrypted) {
        return failWith(error, fileError(kLdLegacyCryptFileTitle, failureKey, sourcePath));
    }
    // Success is this write's own answer: an older file left at the destination proves nothing.
    if (!LdFiles::writeFileAtomically(destination, *encrypted, &failure)) {
        return failWith(error, fileError(kLdLegacyCryptFileTitle, kLdLegacyCryptWriteFailed,
                                         destination, failure));
    }
    return true;
}

LdLegacyDecryptResult LdCFileEncryptDecrypt::decryptFileAtPath(
        const std::filesystem::path& encryptedPath,
        const std::filesystem::path& folderPath,
        const std::string& password,
        LdError* error) const {
    const auto fail = [&](LdLegacyDecryptResult result, const char* titleKey,
                          const char* descriptionKey, const std::filesystem::path& path,
                          const std::string& reason = {}) {
        failWith(error, fileError(titleKey, descriptionKey, path, reason));
        return result;
    };
    // Fixed order of checks: password, source exists, paths.
    if (password.empty()) {
        return fail(LdLegacyDecryptResult::WrongPassword, kLdLegacyCryptFileTitle,
                    kLdLegacyCryptMissingPassword, encryptedPath);
    }
    std::error_code code;
    if (encryptedPath.empty() || !std::filesystem::exists(encryptedPath, code)) {
        return fail(LdLegacyDecryptResult::Failed, kLdLegacyCryptFileTitle,
                    kLdLegacyCryptFileNotExist, encryptedPath);
    }
    const std::filesystem::path destination = folderPath / encryptedPath.stem();
    if (folderPath.empty() || !hasEncryptedExtension(encryptedPath) ||
        samePath(destination, encryptedPath)) {
        return fail(LdLegacyDecryptResult::Failed, kLdLegacyCryptFileTitle,
                    kLdLegacyCryptConfusingPaths, encryptedPath);
    }
    std::string failure;
    const std::optional<LdData> encrypted = LdFiles::readFileContents(encryptedPath, &failure);
    if (!encrypted) {
        return fail(LdLegacyDecryptResult::Failed, kLdLegacyCryptFileTitle,
                    kLdLegacyCryptReadFailed, encryptedPath, failure);
    }
    Decrypted decrypted = decryptContent(*encrypted, password, kLdLegacyCryptFileWrongPassword);
    if (!decrypted.plain) {
        return fail(decrypted.result, kLdLegacyCryptFileTitle, decrypted.failureKey, encryptedPath);
    }
    std::filesystem::create_directories(folderPath, code);
    const bool written =
            !code && LdFiles::writeFileAtomically(destination, *decrypted.plain, &failure);
    OPENSSL_cleanse(decrypted.plain->data(), decrypted.plain->size());
    if (!written) {
        return fail(LdLegacyDecryptResult::Failed, kLdLegacyCryptFileTitle,
                    kLdLegacyCryptFileNotFound, destination,
                    code ? "create folder: " + code.message() : failure);
    }
    return LdLegacyDecryptResult::Succeeded;
}
