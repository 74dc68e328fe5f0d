// Tests of the legacy encrypted file format: the known key and block of a small sample, the
// ciphertext length rule, round trips of many sizes, the result codes of decryption, atomic
// writing and cancellation.
#include "core/security/LdCFileEncryptDecrypt.h"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/security/Rijndael.h"
#include "core/security/VTCrypto.h"
#include "core/security/pilPBKDF1.h"

#include "tests/testutil/LdTestUtil.h"

namespace {

LdData textBytes(std::string_view text) {
    return LdData(text.begin(), text.end());
}

LdData patternBytes(std::size_t length) {
    LdData bytes(length);
    for (std::size_t index = 0; index < length; ++index) {
        bytes[index] = static_cast<std::uint8_t>(index * 7 + 3);
    }
    return bytes;
}

}  // namespace

class LdCFileEncryptDecryptTest : public ::testing::Test {
protected:
    LdTemporaryFolder folder_;
    LdCFileEncryptDecrypt crypt_;
};

TEST_F(LdCFileEncryptDecryptTest, KeyOfSecretIsTwentyOneMD5Rounds) {
    const std::optional<LdData> key = pilPBKDF1::deriveKey("secret", LdCFileEncryptDecrypt::kSalt,
                                                           LdCFileEncryptDecrypt::kIterations, 16);
    ASSERT_TRUE(key.has_value());
    EXPECT_EQ(VTCrypto::hexStringFromData(*key, ""), "6F6C67A253FE7590EC0EE36F903696FF");
    EXPECT_FALSE(pilPBKDF1::deriveKey("secret", "salt", 20, 32).has_value());
}

TEST_F(LdCFileEncryptDecryptTest, HelloEncryptsToKnownBlock) {
    const std::optional<LdData> encrypted = crypt_.encryptData(textBytes("hello"), "secret");
    ASSERT_TRUE(encrypted.has_value());
    EXPECT_EQ(VTCrypto::hexStringFromData(*encrypted, ""), "AD772440EC574164996B06B2F606969D");
}

TEST_F(LdCFileEncryptDecryptTest, RijndaelMatchesPublishedAES128Vector) {
    // FIPS-197 appendix C.1.
    Rijndael cipher;
    ASSERT_TRUE(cipher.makeKey(*VTCrypto::hexStringToData("000102030405060708090a0b0c0d0e0f")));
    const LdData plain = *VTCrypto::hexStringToData("00112233445566778899aabbccddeeff");
    LdData encrypted(16);
    ASSERT_TRUE(cipher.encrypt(plain, encrypted));
    EXPECT_EQ(VTCrypto::hexStringFromData(encrypted, ""), "69C4E0D86A7B0430D8CDB78070B4C55A");
    LdData decrypted(16);
    ASSERT_TRUE(cipher.decrypt(encrypted, decrypted));
    EXPECT_EQ(decrypted, plain);
    LdData partial(15);
    EXPECT_FALSE(cipher.encrypt(LdData(15), partial));
    EXPECT_FALSE(Rijndael().encrypt(plain, encrypted));
    EXPECT_FALSE(cipher.makeKey(LdData(24)));
}

TEST_F(LdCFileEncryptDecryptTest, DataRoundTripsAtBlockEdgesWithLengthRule) {
    for (const std::size_t length :
         std::vector<std::size_t>{0, 1, 6, 7, 15, 16, 17, 23, 1000, 3077}) {
        const LdData plain = patternBytes(length);
        const std::optional<LdData> encrypted = crypt_.encryptData(plain, "pass word ü");
        ASSERT_TRUE(encrypted.has_value()) << length;
        EXPECT_EQ(encrypted->size(), ((length + 9) / 16 + 1) * 16) << length;
        LdError error;
        const std::optional<LdData> decrypted =
                crypt_.decryptData(*encrypted, "pass word ü", &error);
        ASSERT_TRUE(decrypted.has_value()) << length << error;
        EXPECT_EQ(*decrypted, plain) << length;
    }
}

TEST_F(LdCFileEncryptDecryptTest, WrongPasswordFailsDataWithWrongPasswordKey) {
    const LdData encrypted = *crypt_.encryptData(patternBytes(100), "secret");
    LdError error;
    EXPECT_FALSE(crypt_.decryptData(encrypted, "Secret", &error).has_value());
    EXPECT_EQ(error.titleKey(), "_ERROR_DECRYPTING_DATA");
    EXPECT_EQ(error.descriptionKey(), "_ERROR_DECRYPTING_DATA_WRONG_PASSWORD");
}

TEST_F(LdCFileEncryptDecryptTest, MissingPasswordIsQuietForData) {
    LdError error;
    EXPECT_FALSE(crypt_.encryptData(textBytes("x"), "", &error).has_value());
    EXPECT_FALSE(crypt_.decryptData(LdData(16), "", &error).has_value());
    EXPECT_FALSE(error.isSet());
}

TEST_F(LdCFileEncryptDecryptTest, DamagedDataFailsWithoutCrash) {
    struct Case {
        const char* what;
        LdData data;
    };
    // A single block whose plaintext is "FILECRYP" + 0x01 + zeros is too short to hold the trailer.
    Rijndael cipher;
    ASSERT_TRUE(cipher.makeKey(*pilPBKDF1::deriveKey("secret", LdCFileEncryptDecrypt::kSalt,
                                                     LdCFileEncryptDecrypt::kIterations, 16)));
    LdData shortPlain = textBytes("FILECRYP");
    shortPlain.push_back(0x01);
    shortPlain.resize(16);
    LdData shortBlock(16);
    ASSERT_TRUE(cipher.encrypt(shortPlain, shortBlock));
    LdData noTrailer = textBytes("hello there FILE");
    noTrailer.push_back(0x01);
    noTrailer.resize(32);
    LdData noTrailerBlocks(32);
    ASSERT_TRUE(cipher.encrypt(noTrailer, noTrailerBlocks));

    const std::vector<Case> cases = {
            {"empty", {}},
            {"partial block", LdData(15, 0xAB)},
            {"plaintext shorter than the trailer", shortBlock},
            {"no trailer", noTrailerBlocks},
    };
    for (const Case& item : cases) {
        LdError error;
        EXPECT_FALSE(crypt_.decryptData(item.data, "secret", &error).has_value()) << item.what;
        EXPECT_TRUE(error.isSet()) << item.what;
    }
}

TEST_F(LdCFileEncryptDecryptTest, FileRoundTripKeepsNameAndEmptyContent) {
    std::filesystem::create_directory(folder_ / "out");
    for (const std::size_t length : std::vector<std::size_t>{0, 5, 16, 4000}) {
        const std::filesystem::path source = folder_ / "statement.pdf";
        ldWriteFile(source, patternBytes(length));
        LdError error;
        ASSERT_TRUE(crypt_.encryptFileAtPath(source, folder_ / "out", "secret", &error)) << error;
        const std::filesystem::path encrypted = folder_ / "out" / "statement.pdf.crypt";
        EXPECT_EQ(LdCFileEncryptDecrypt::encryptedFilePathFor(source, folder_ / "out"), encrypted);
        EXPECT_EQ(ldReadFile(encrypted).size(), ((length + 9) / 16 + 1) * 16);
        EXPECT_EQ(crypt_.decryptFileAtPath(encrypted, folder_ / "back" / "deep", "secret", &error),
                  LdLegacyDecryptResult::Succeeded)
                << length << error;
        EXPECT_EQ(ldReadFile(folder_ / "back" / "deep" / "statement.pdf"), patternBytes(length));
    }
}

TEST_F(LdCFileEncryptDecryptTest, DecryptFileResultCodes) {
    const std::filesystem::path source = folder_ / "a.txt";
    ldWriteFile(source, std::string("content"));
    ASSERT_TRUE(crypt_.encryptFileAtPath(source, folder_.path(), "secret"));
    const std::filesystem::path encrypted = folder_ / "a.txt.crypt";
    ldWriteFile(folder_ / "tiny.crypt", std::string("short"));

    struct Case {
        const char* what;
        std::filesystem::path path;
        std::string password;
        LdLegacyDecryptResult result;
        const char* descriptionKey;
    };
    const std::vector<Case> cases = {
            {"wrong password", encrypted, "Secret", LdLegacyDecryptResult::WrongPassword,
             "_ERROR_DECRYPTING_FILE_WRONG_PASSWORD"},
            {"missing password", encrypted, "", LdLegacyDecryptResult::WrongPassword,
             "_ERROR_DECRYPTING_MISSING_PASSWORD"},
            {"missing file", folder_ / "none.crypt", "secret", LdLegacyDecryptResult::Failed,
             "_ERROR_DECRYPTING_FILE_NOT_EXIST"},
            {"no crypt extension", source, "secret", LdLegacyDecryptResult::Failed,
             "_ERROR_DECRYPTING_FILE_CONFUSING_PATHS"},
            {"too small", folder_ / "tiny.crypt", "secret", LdLegacyDecryptResult::Failed,
             "_ERROR_DECRYPTING_FILE_TO_SMALL"},
    };
    for (const Case& item : cases) {
        LdError error;
        EXPECT_EQ(crypt_.decryptFileAtPath(item.path, folder_ / "out", item.password, &error),
                  item.result)
                << item.what;
        EXPECT_EQ(error.titleKey(), "_ERROR_DECRYPTING_FILE") << item.what;
        EXPECT_EQ(error.descriptionKey(), item.descriptionKey) << item.what;
    }
    EXPECT_FALSE(std::filesystem::exists(folder_ / "out" / "a.txt"));
}

TEST_F(LdCFileEncryptDecryptTest, EncryptFailsWhenThisWriteFailsEvenIfOlderOutputStays) {
    const std::filesystem::path source = folder_ / "a.txt";
    ldWriteFile(source, std::string("content"));
    // The destination is a non-empty folder: neither deleted nor replaced by the write.
    ldWriteFile(folder_ / "a.txt.crypt" / "keep", std::string("x"));
    LdError error;
    EXPECT_FALSE(crypt_.encryptFileAtPath(source, folder_.path(), "secret", &error));
    EXPECT_EQ(error.descriptionKey(), "_ERROR_CRYPTING_FILE_WRITE_FAILED") << error;
    EXPECT_TRUE(std::filesystem::exists(folder_ / "a.txt.crypt"));
}

TEST_F(LdCFileEncryptDecryptTest, EncryptReplacesOlderEncryptedFile) {
    const std::filesystem::path source = folder_ / "a.txt";
    ldWriteFile(source, std::string("new content"));
    ldWriteFile(folder_ / "a.txt.crypt", std::string("older and longer encrypted bytes"));
    LdError error;
    ASSERT_TRUE(crypt_.encryptFileAtPath(source, folder_.path(), "secret", &error)) << error;
    EXPECT_FALSE(error.isSet());
    EXPECT_EQ(crypt_.decryptData(ldReadFile(folder_ / "a.txt.crypt"), "secret"),
              textBytes("new content"));
}

TEST_F(LdCFileEncryptDecryptTest, EncryptFileMissingArgumentsAndSource) {
    LdError error;
    EXPECT_FALSE(crypt_.encryptFileAtPath(folder_ / "a.txt", folder_.path(), "", &error));
    EXPECT_FALSE(crypt_.encryptFileAtPath({}, folder_.path(), "secret", &error));
    EXPECT_FALSE(error.isSet());
    EXPECT_FALSE(crypt_.encryptFileAtPath(folder_ / "none.txt", folder_.path(), "secret", &error));
    EXPECT_EQ(error.descriptionKey(), "_ERROR_DECRYPTING_FILE_NOT_EXIST");
}

TEST_F(LdCFileEncryptDecryptTest, CancelledEncryptionWritesNothing) {
    int checks = 0;
    crypt_.setCancellationCheck([&checks] { return ++checks >= 2; });
    const std::filesystem::path source = folder_ / "big.bin";
    ldWriteFile(source, patternBytes(64 * 16 * 4));
    LdError error;
    EXPECT_FALSE(crypt_.encryptFileAtPath(source, folder_.path(), "secret", &error));
    EXPECT_EQ(checks, 2);
    EXPECT_EQ(error.descriptionKey(), "_ERROR_ENCRYPTING_CANCELLED");
    EXPECT_FALSE(std::filesystem::exists(folder_ / "big.bin.crypt"));

    // Content of at most 64 blocks is never asked about.
    checks = 0;
    EXPECT_TRUE(crypt_.encryptData(patternBytes(64 * 16 - 10), "secret").has_value());
    EXPECT_EQ(checks, 0);
}
