// VTCrypto, the cryptographic toolbox: AES of byte strings and of whole files, digests, random
// bytes and hexadecimal text; DES and triple DES, block padding, and RSA keys kept in the saved
// passwords' store under an application tag with their PEM import and export.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

class VTPrivateKeyRSA;
class VTPublicKeyRSA;

// Error keys of the file operations (title and description keys of the strings table
// LdCoreLocalizable).
inline constexpr const char* kVTCryptoErrorTitle = "_ERROR_DECRYPTING_DATA";
inline constexpr const char* kVTCryptoFileNotExist = "_ERROR_DECRYPTING_FILE_NOT_EXIST";
inline constexpr const char* kVTCryptoFileAlreadyEncrypted = "_ERROR_DECRYPTING_FILE";
inline constexpr const char* kVTCryptoMissingPassword = "_ERROR_DECRYPTING_MISSING_PASSWORD";
inline constexpr const char* kVTCryptoNotAnEncryptedFile = "_ERROR_DECRYPTED_FILE_NOT_FOUND";
inline constexpr const char* kVTCryptoWrongKey = "_ERROR_DECRYPTING_FILE_WRONG_KEY";
inline constexpr const char* kVTCryptoInvalidKeyLength = "_ERROR_CRYPTING_INVALID_KEY_LENGTH";
inline constexpr const char* kVTCryptoEncryptionFailed = "_ERROR_ENCRYPTING_FAILED";
inline constexpr const char* kVTCryptoReadFailed = "_ERROR_CRYPTING_FILE_READ_FAILED";
inline constexpr const char* kVTCryptoWriteFailed = "_ERROR_CRYPTING_FILE_WRITE_FAILED";

// Stateless class operations over OpenSSL's EVP interfaces; thread-safe. Byte strings are LdData.
class VTCrypto {
public:
    VTCrypto() = delete;

    // The extension of encrypted files, and the trailer that files of the previous major version
    // carry at the end of their plaintext.
    static constexpr std::string_view kEncryptedFileExtension = "crypt";
    static constexpr std::string_view kLegacyTrailer = "FILECRYPT";

    // aesEncrypt:withKey: — AES in CBC mode with PKCS#7 padding and an initialisation vector of 16
    // zero bytes; a key of 16, 24 or 32 bytes selects AES-128, AES-192 or AES-256. Nothing for any
    // other key length or when the cipher fails. Empty data encrypts to one block of padding.
    static std::optional<LdData> aesEncrypt(const LdData& data, const LdData& key);
    // aesDecrypt:withKey: — the inverse of aesEncrypt. Nothing for an invalid key length or when
    // the cipher fails; a wrong key usually fails the padding check (about one wrong key in 256
    // passes it and yields garbage).
    static std::optional<LdData> aesDecrypt(const LdData& data, const LdData& key);

    // aesEncryptFileAtURL:withKey:toFolderAtURL: — encrypts the whole file with aesEncrypt and
    // writes it atomically into `folderURL` (which must exist) under the file's name with ".crypt"
    // appended (photo.jpg -> photo.jpg.crypt), replacing an older one. The source stays. Nothing on
    // success, else the error (title "_ERROR_DECRYPTING_DATA"): a missing source, a source that
    // already is a ".crypt" file, an empty key, a key of another length than 16, 24 or 32 bytes, a
    // failing read or write.
    static std::optional<LdError> aesEncryptFileAtURL(const std::filesystem::path& fileURL,
                                                      const LdData& key,
                                                      const std::filesystem::path& folderURL);
    // aesDecryptFileAtURL:withKey:toFolderAtURL: — decrypts a ".crypt" file with aesDecrypt, drops
    // a trailing "FILECRYPT" of files from the previous major version, creates `folderURL` with its
    // parents and writes the plaintext atomically under the file's name without ".crypt". Nothing
    // on success, else the error: a missing file, an empty key, a file without the "crypt"
    // extension, an invalid key length, a failing read, folder creation or write, and a wrong key
    // (the padding check failed; nothing is written).
    static std::optional<LdError> aesDecryptFileAtURL(const std::filesystem::path& encryptedURL,
                                                      const LdData& key,
                                                      const std::filesystem::path& folderURL);

    // randomBytesOfLength: — `length` bytes from OpenSSL's cryptographically secure generator. The
    // process aborts if the generator fails rather than hand out weak bytes.
    static LdData randomBytesOfLength(std::size_t length);

    // SHA512: / SHA256: / SHA1: / MD5: / RIPEMD160: — the digest of `data` (64, 32, 20, 16, 20
    // bytes). Given names, kept as they are.
    static LdData SHA512(const LdData& data);     // NOLINT(readability-identifier-naming)
    static LdData SHA256(const LdData& data);     // NOLINT(readability-identifier-naming)
    static LdData SHA1(const LdData& data);       // NOLINT(readability-identifier-naming)
    static LdData MD5(const LdData& data);        // NOLINT(readability-identifier-naming)
    static LdData RIPEMD160(const LdData& data);  // NOLINT(readability-identifier-naming)

    // dataToHexString: — upper-case hexadecimal, bytes separated by one blank ("0A FF 10").
    static std::string dataToHexString(const LdData& data);
    // hexStringFromData:separatorChar: — "%02X" per byte, joined by `separator`.
    static std::string hexStringFromData(const LdData& data, std::string_view separator);
    // hexStringToData: — the bytes of hexadecimal text in either case; blanks (and other white
    // space) are ignored. Nothing for an odd number of digits or any other character.
    static std::optional<LdData> hexStringToData(std::string_view text);

    // ---- DES, triple DES and padding (defined in VTCryptoKeys.cpp)

    // desEncrypt:withKey: / desDecrypt:withKey: — DES in CBC mode with PKCS#7 padding and a zero
    // initialisation vector, like the AES calls; the key has 8 bytes. Nothing for another key size
    // or a failed padding check.
    static std::optional<LdData> desEncrypt(const LdData& data, const LdData& key);
    static std::optional<LdData> desDecrypt(const LdData& data, const LdData& key);
    // tripleDesEncrypt:key1:key2:key3: / tripleDesDecrypt:… — DES-EDE3 in CBC mode, otherwise the
    // same. A key that has not 8 bytes logs "ERROR: tripeDesEncrypt: Invalid key size." and gives
    // nothing.
    static std::optional<LdData> tripleDesEncrypt(const LdData& data,
                                                  const LdData& key1,
                                                  const LdData& key2,
                                                  const LdData& key3);
    static std::optional<LdData> tripleDesDecrypt(const LdData& data,
                                                  const LdData& key1,
                                                  const LdData& key2,
                                                  const LdData& key3);

    // Padding modes of performPaddingForData.
    static constexpr int kPaddingPKCS7 = 0;    // n bytes of value n
    static constexpr int kPaddingZeros = 1;    // zero bytes, none when the data fills its blocks
    static constexpr int kPaddingISO7816 = 2;  // 0x80, then zero bytes
    // performPaddingForData:paddingMode:blockSize: — the data padded to a multiple of the block
    // size (1 to 255); the data unchanged for an unknown mode or block size.
    static LdData performPaddingForData(const LdData& data, int paddingMode, std::size_t blockSize);

    // ---- RSA keys under an application tag (defined in VTCryptoKeys.cpp)

    // The service under which keys are kept in LdCKeychainController's store; the account is the
    // application tag, the generic attribute "private" or "public", the data PKCS#1 DER.
    static constexpr std::string_view kRsaKeyService = "Ledra RSA key";
    static constexpr int kKeyClassPublic = 0;
    static constexpr int kKeyClassPrivate = 1;

    // generateRsaKeyPairWithApplicationTag:keySize: — a new key pair (its private key kept, the
    // public one derived from it); fails when the tag has a private key already.
    static bool generateRsaKeyPairWithApplicationTag(std::string_view tag,
                                                     int bits,
                                                     LdError* error = nullptr);
    // deleteRsaKeyPairWithApplicationTag: — both keys of the tag; whether any was deleted.
    static bool deleteRsaKeyPairWithApplicationTag(std::string_view tag);
    // rsaEncrypt / rsaDecrypt — PKCS#1 v1.5 padding with the tag's public or private key.
    static std::optional<LdData> rsaEncrypt(const LdData& data, std::string_view tag);
    static std::optional<LdData> rsaDecrypt(const LdData& data, std::string_view tag);
    // rsaSign / rsaVerify — SHA-256 with PKCS#1 v1.5 signatures.
    static std::optional<LdData> rsaSign(const LdData& data, std::string_view tag);
    static bool rsaVerify(const LdData& data, const LdData& signature, std::string_view tag);
    // exportPublicRsaKeyAsPemSequenceWithApplicationTag: — the tag's public key as PEM
    // SubjectPublicKeyInfo ("-----BEGIN PUBLIC KEY-----").
    static std::optional<std::string> exportPublicRsaKeyAsPemSequenceWithApplicationTag(
            std::string_view tag);
    // importRsaKeyFromPemFileData:withLabel:keyClass: — keeps the PEM key (PKCS#1 or PKCS#8) of
    // that class under the tag `label`, replacing one of the same class.
    static bool importRsaKeyFromPemFileData(const LdData& pem,
                                            std::string_view label,
                                            int keyClass,
                                            LdError* error = nullptr);
    // publicKeyFromPemSequence: / readPrivateKeyFromFileString: — the key of PEM text (PKCS#1 or
    // PKCS#8); nothing for anything else.
    static std::optional<VTPublicKeyRSA> publicKeyFromPemSequence(std::string_view pem);
    static std::optional<VTPrivateKeyRSA> readPrivateKeyFromFileString(std::string_view pem);
};
