// `ledra crypto …`: digests, and the encrypted ".crypt" form of resource files. Keys come from the
// environment (LEDRA_FILE_KEY, hexadecimal), never from an argument.
#include <cstdlib>
#include <map>
#include <memory>

#include "core/security/LdCFileEncryptDecrypt.h"
#include "core/security/VTCrypto.h"
#include "core/support/platform/LdFiles.h"

#include "cli/LdCliCommands.h"

namespace {

std::optional<LdData> fileKey(LdCliContext& context) {
    const char* text = std::getenv("LEDRA_FILE_KEY");
    if (text == nullptr || text[0] == '\0') {
        context.fail("set LEDRA_FILE_KEY to the key in hexadecimal (32 bytes: 64 digits)");
        return std::nullopt;
    }
    auto key = VTCrypto::hexStringToData(text);
    if (!key || (key->size() != 16 && key->size() != 24 && key->size() != 32)) {
        context.fail("LEDRA_FILE_KEY must hold 16, 24 or 32 bytes in hexadecimal");
        return std::nullopt;
    }
    return key;
}

}  // namespace

void ldAddCryptoCommands(CLI::App& app, LdCliCommandSet& commands) {
    CLI::App* area = commands.addArea(app, "crypto", "Digests and resource-file encryption");
    LdCliContext& context = commands.context();

    using Digest = LdData (*)(const LdData&);
    static const std::map<std::string, Digest> kDigests{{"sha512", &VTCrypto::SHA512},
                                                        {"sha256", &VTCrypto::SHA256},
                                                        {"sha1", &VTCrypto::SHA1},
                                                        {"md5", &VTCrypto::MD5},
                                                        {"ripemd160", &VTCrypto::RIPEMD160}};
    struct DigestOptions {
        std::string file;
        std::string algorithm = "sha256";
    };
    auto digestOptions = std::make_shared<DigestOptions>();
    CLI::App* digest =
            commands.add(*area, "digest", "The digest of a file", [&context, digestOptions] {
                std::string failure;
                const auto bytes = LdFiles::readFileContents(digestOptions->file, &failure);
                if (!bytes) {
                    return context.fail("cannot read " + digestOptions->file + ": " + failure);
                }
                const std::string hex = VTCrypto::hexStringFromData(
                        kDigests.at(digestOptions->algorithm)(*bytes), "");
                context.printResult(LdValue::dictionary({{"algorithm", digestOptions->algorithm},
                                                         {"digest", hex}}),
                                    hex);
                return kLdExitSuccess;
            });
    digest->add_option("file", digestOptions->file, "The file")->required();
    digest->add_option("--algorithm", digestOptions->algorithm,
                       "sha256 (default), sha512, sha1, md5 or ripemd160")
            ->check(CLI::IsMember({"sha512", "sha256", "sha1", "md5", "ripemd160"}));

    commands.add(*area, "new-key", "A new random 32-byte key in hexadecimal", [&context] {
        const std::string hex = VTCrypto::hexStringFromData(VTCrypto::randomBytesOfLength(32), "");
        context.printResult(LdValue::dictionary({{"key", hex}}), hex);
        return kLdExitSuccess;
    });

    struct FileOptions {
        std::string file;
        std::string folder;
    };
    for (const bool encrypt : {true, false}) {
        auto options = std::make_shared<FileOptions>();
        CLI::App* command = commands.add(
                *area, encrypt ? "encrypt" : "decrypt",
                encrypt ? "Write FILE.crypt, encrypted with LEDRA_FILE_KEY, into a folder"
                        : "Write the plain content of FILE.crypt, decrypted with LEDRA_FILE_KEY",
                [&context, options, encrypt] {
                    const auto key = fileKey(context);
                    if (!key) {
                        return kLdExitFailure;
                    }
                    const std::filesystem::path folder =
                            options->folder.empty()
                                    ? std::filesystem::path(options->file).parent_path()
                                    : std::filesystem::path(options->folder);
                    const auto error =
                            encrypt ? VTCrypto::aesEncryptFileAtURL(options->file, *key, folder)
                                    : VTCrypto::aesDecryptFileAtURL(options->file, *key, folder);
                    if (error) {
                        return context.fail(*error);
                    }
                    const std::filesystem::path name =
                            std::filesystem::path(options->file).filename();
                    const std::filesystem::path written =
                            folder / (encrypt ? name.string() + ".crypt" : name.stem().string());
                    context.printResult(LdValue::dictionary({{"written", written.string()}}),
                                        "wrote " + written.string());
                    return kLdExitSuccess;
                });
        command->add_option("file", options->file, "The file")->required();
        command->add_option("--to", options->folder,
                            "Destination folder (default: the file's folder)");
    }

    // The password-based format of files written by the previous major version.
    for (const bool encrypt : {true, false}) {
        auto options = std::make_shared<FileOptions>();
        CLI::App* command = commands.add(
                *area, encrypt ? "legacy-encrypt" : "legacy-decrypt",
                encrypt ? "Write FILE.crypt in the older password format (password from "
                          "LEDRA_PASSWORD)"
                        : "Write the plain content of a FILE.crypt of the older password format",
                [&context, options, encrypt] {
                    const auto password = context.readPassword(options->file);
                    if (!password) {
                        return kLdExitFailure;
                    }
                    const std::filesystem::path folder =
                            options->folder.empty()
                                    ? std::filesystem::path(options->file).parent_path()
                                    : std::filesystem::path(options->folder);
                    LdCFileEncryptDecrypt crypter;
                    LdError error;
                    const bool written = encrypt ? crypter.encryptFileAtPath(options->file, folder,
                                                                             *password, &error)
                                                 : crypter.decryptFileAtPath(options->file, folder,
                                                                             *password, &error) ==
                                                           LdLegacyDecryptResult::Succeeded;
                    if (!written) {
                        return error.title().empty() ? context.fail("Nothing was written.")
                                                     : context.fail(error);
                    }
                    const std::filesystem::path name =
                            std::filesystem::path(options->file).filename();
                    const std::filesystem::path path =
                            encrypt ? LdCFileEncryptDecrypt::encryptedFilePathFor(options->file,
                                                                                  folder)
                                    : folder / name.stem();
                    context.printResult(LdValue::dictionary({{"written", path.string()}}),
                                        "wrote " + path.string());
                    return kLdExitSuccess;
                });
        command->add_option("file", options->file, "The file")->required();
        command->add_option("--to", options->folder,
                            "Destination folder (default: the file's folder)");
    }
}
