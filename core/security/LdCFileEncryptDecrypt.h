// LdCFileEncryptDecrypt, the password-based encrypted files of the previous major version: read
// when a database of that version is converted, and written for tests and tools.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

// Error keys (strings table LdCoreLocalizable). File operations use the title
// kLdLegacyCryptFileTitle with the file's name in the debug info "fileName"; data operations use
// kLdLegacyCryptDataTitle.
inline constexpr const char* kLdLegacyCryptFileTitle = "_ERROR_DECRYPTING_FILE";
inline constexpr const char* kLdLegacyCryptDataTitle = "_ERROR_DECRYPTING_DATA";
inline constexpr const char* kLdLegacyCryptUnknownTitle = "_UNKNOWN";
inline constexpr const char* kLdLegacyCryptMissingPassword = "_ERROR_DECRYPTING_MISSING_PASSWORD";
inline constexpr const char* kLdLegacyCryptFileNotExist = "_ERROR_DECRYPTING_FILE_NOT_EXIST";
inline constexpr const char* kLdLegacyCryptConfusingPaths =
        "_ERROR_DECRYPTING_FILE_CONFUSING_PATHS";
inline constexpr const char* kLdLegacyCryptTooSmall = "_ERROR_DECRYPTING_FILE_TO_SMALL";
inline constexpr const char* kLdLegacyCryptFileWrongPassword =
        "_ERROR_DECRYPTING_FILE_WRONG_PASSWORD";
inline constexpr const char* kLdLegacyCryptDataWrongPassword =
        "_ERROR_DECRYPTING_DATA_WRONG_PASSWORD";
inline constexpr const char* kLdLegacyCryptFileNotFound = "_ERROR_DECRYPTED_FILE_NOT_FOUND";
inline constexpr const char* kLdLegacyCryptReadFailed = "_ERROR_CRYPTING_FILE_READ_FAILED";
inline constexpr const char* kLdLegacyCryptWriteFailed = "_ERROR_CRYPTING_FILE_WRITE_FAILED";
inline constexpr const char* kLdLegacyCryptDeleteFailed = "_ERROR_CRYPTING_FILE_DELETE_FAILED";
inline constexpr const char* kLdLegacyCryptCancelled = "_ERROR_ENCRYPTING_CANCELLED";
inline constexpr const char* kLdLegacyCryptEncryptionFailed = "_ERROR_ENCRYPTING_FAILED";

// The result codes of decryptFileAtPath.
enum class LdLegacyDecryptResult : int {
    Failed = -1,        // any other failure
    WrongPassword = 0,  // missing or wrong password
    Succeeded = 1,
};

// The format: the plain content followed by the 9 bytes "FILECRYPT", then the bytes after the last
// full 16-byte block, one byte 0x01 and 0x00 bytes up to the block; every block encrypted on its
// own with Rijndael-128 under pilPBKDF1(password, "Halvenkrossmit Ltd.", 20 iterations, 16 bytes).
// n plain bytes give ((n + 9) div 16 + 1) × 16 encrypted bytes.
//
// An object holds only its cancellation check; one object per thread.
class LdCFileEncryptDecrypt {
public:
    static constexpr std::string_view kTrailer = "FILECRYPT";
    static constexpr std::string_view kSalt = "Halvenkrossmit Ltd.";
    static constexpr int kIterations = 20;
    static constexpr std::string_view kExtension = "crypt";
    // Encryption asks the cancellation check after every this many blocks.
    static constexpr std::size_t kBlocksBetweenCancellationChecks = 64;

    LdCFileEncryptDecrypt() = default;

    // The check that stops an encryption on a cancellable worker, e.g. the running LdOperation's
    // isCancelled. None by default: encryption runs to its end.
    void setCancellationCheck(std::function<bool()> isCancelled);

    // encryptFileAtPath:intoFolderPath:withPassword:error: — encrypts the file at `sourcePath` and
    // writes it atomically into `folderPath` (which must exist) under encryptedFilePathFor. An
    // older encrypted file there is deleted first; a failing delete fills `error` but the operation
    // goes on. True when this write succeeded. An empty path or password is a missing argument
    // (false, no error); a missing source, a failing read, a cancellation or a failing write fail
    // with an error.
    bool encryptFileAtPath(const std::filesystem::path& sourcePath,
                           const std::filesystem::path& folderPath,
                           const std::string& password,
                           LdError* error = nullptr) const;

    // decryptFileAtPath:intoFolderPath:withPassword:error: — decrypts the ".crypt" file at
    // `encryptedPath` and writes the plain content atomically into `folderPath` (created with its
    // parents) under the file's name without ".crypt". Succeeded (1); WrongPassword (0) for a
    // missing or wrong password; Failed (-1) for a missing source, a file without the "crypt"
    // extension, a destination that is the source, a file too small to hold the trailer, a failing
    // read or write. Every failure fills `error`.
    LdLegacyDecryptResult decryptFileAtPath(const std::filesystem::path& encryptedPath,
                                            const std::filesystem::path& folderPath,
                                            const std::string& password,
                                            LdError* error = nullptr) const;

    // encryptData:withPassword:error: — the encrypted form of `data` (which may be empty). An empty
    // password is a missing argument (nothing, no error); a cancellation fails with an error.
    std::optional<LdData> encryptData(const LdData& data,
                                      const std::string& password,
                                      LdError* error = nullptr) const;

    // decryptData:withPassword:error: — the plain content of `data`, or nothing: an empty
    // password is a missing argument (no error); a wrong password or data that is no encrypted
    // content fail with an error.
    std::optional<LdData> decryptData(const LdData& data,
                                      const std::string& password,
                                      LdError* error = nullptr) const;

    // encryptedFilePathFor:destinationFolderPath: — `folder`, the source's name, ".crypt".
    static std::filesystem::path encryptedFilePathFor(const std::filesystem::path& sourcePath,
                                                      const std::filesystem::path& folder);

private:
    // The outcome of decrypting content: the plain bytes, or the result code and error key.
    struct Decrypted {
        std::optional<LdData> plain;
        LdLegacyDecryptResult result = LdLegacyDecryptResult::Succeeded;
        const char* failureKey = nullptr;
    };

    // The encrypted content, or nothing with the error key in `failureKey`.
    std::optional<LdData> encryptContent(LdData content,
                                         const std::string& password,
                                         const char** failureKey) const;
    static Decrypted decryptContent(const LdData& data,
                                    const std::string& password,
                                    const char* wrongPasswordKey);

    std::function<bool()> isCancelled_;
};
