#include "core/database/resources/LdCFileResourceManager.h"

#include <system_error>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/resources/LdImage.h"
#include "core/database/resources/detail/LdAttachmentsStrings.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/security/VTCrypto.h"
#include "core/support/LdLogger.h"
#include "core/support/platform/LdFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kCipherBlockSize = 16;

fs::path encryptedTwinOf(const fs::path& plainPath) {
    fs::path twin = plainPath;
    twin += std::string(".") + std::string(VTCrypto::kEncryptedFileExtension);
    return twin;
}

bool isEncryptedFile(const fs::path& path) {
    return path.extension() == std::string(".") + std::string(VTCrypto::kEncryptedFileExtension);
}

}  // namespace

LdCFileResourceManager::LdCFileResourceManager(LdCOpenDatabaseManager& openDatabaseManager)
    : openDatabaseManager_(openDatabaseManager),
      // Fixed order: the type numbers 1 to 5.
      infos_{{LdCDatabaseManager::kResourceTypeAccountImages, "Account", "imageName"},
             {LdCDatabaseManager::kResourceTypeContactImages, "Contact", "imageName"},
             {LdCDatabaseManager::kResourceTypeCategoryImages, "Category", "imageName"},
             {LdCDatabaseManager::kResourceTypeFileAttachments, "FileAttachment", "fileName"},
             {LdCDatabaseManager::kResourceTypeAccountStatements, "AccountStatement", "fileName"}} {
}

const LdCFileResourceInfo* LdCFileResourceManager::resourceInfoForType(int resourceType) const {
    for (const LdCFileResourceInfo& info : infos_) {
        if (info.resourceType == resourceType) {
            return &info;
        }
    }
    return nullptr;
}

bool LdCFileResourceManager::saveImage(const LdImage& image,
                                       int resourceType,
                                       const std::string& fileName,
                                       LdError* error) {
    const fs::path folder = LdCDatabaseManager::urlForResourceType(
            resourceType, openDatabaseManager_.databaseURL());
    if (fileName.empty() || folder.empty() || resourceInfoForType(resourceType) == nullptr) {
        return false;
    }
    LdError made;
    const std::optional<LdData> png =
            image.scaledToFit(kResourceImageSide, kResourceImageSide).PNGRepresentation(&made);
    if (!png) {
        LdLogger::shared().logError(made.logDescription());
        return failWith(error, made);
    }
    std::error_code folderError;
    fs::create_directories(folder, folderError);
    if (folderError) {
        // The write below reports the failure that matters.
        LdLogger::shared().logError("Cannot create the resource folder " + folder.string() + ": " +
                                    folderError.message());
    }
    const fs::path path = folder / fileName;
    std::string failure;
    if (!LdFiles::writeFileAtomically(path, *png, &failure)) {
        LdError writeError = ld::detail::attachmentsError("_MEDIA_SAVE_FAILED_ERROR_TITLE",
                                                          "_MEDIA_SAVE_FAILED_ERROR_DESC");
        writeError.addDebugInfo("reason", LdValue(failure));
        LdLogger::shared().logError(writeError.logDescription());
        return failWith(error, writeError);
    }
    if (openDatabaseManager_.isPasswordProtected()) {
        if (auto failed = VTCrypto::aesEncryptFileAtURL(
                    path, openDatabaseManager_.resourceFilesEncryptionKey(), folder)) {
            // A plain file without its twin would outlive the session unencrypted.
            std::error_code removeError;
            fs::remove(path, removeError);
            LdLogger::shared().logError(failed->logDescription());
            return failWith(error, *failed);
        }
    }
    return true;
}

std::optional<std::size_t> LdCFileResourceManager::countReferencesToFileStem(
        const LdCFileResourceInfo& info, const std::string& stem) {
    LdManagedObjectContext* context = openDatabaseManager_.managedObjectContext();
    const LdEntityDescription* entity = LdObjectModel::ledraModel().entityNamed(info.entityName);
    if (context == nullptr || entity == nullptr) {
        return std::nullopt;
    }
    LdError error;
    LdFetchRequest request;
    request.entity = entity;
    request.predicate = LdPredicateParser::predicateWithFormat(
            info.fileReferencePropertyName + " contains[cd] %@", {stem}, &error);
    if (!request.predicate) {
        LdLogger::shared().logError(error.logDescription());
        return std::nullopt;
    }
    request.fetchLimit = 1;
    std::optional<std::size_t> count = context->countForFetchRequest(request, &error);
    if (!count) {
        LdLogger::shared().logError(error.logDescription());
    }
    return count;
}

std::size_t LdCFileResourceManager::performGarbageCollection() {
    std::size_t deleted = 0;
    for (const LdCFileResourceInfo& info : infos_) {
        const fs::path folder = LdCDatabaseManager::urlForResourceType(
                info.resourceType, openDatabaseManager_.databaseURL());
        std::error_code error;
        if (folder.empty() || !fs::is_directory(folder, error)) {
            continue;
        }
        std::vector<fs::path> files;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            std::error_code typeError;
            if (entry.is_regular_file(typeError)) {
                files.push_back(entry.path());
            }
        }
        for (const fs::path& file : files) {
            const std::string name = file.filename().string();
            const std::string stem = name.substr(0, name.find('.'));
            if (stem.empty()) {
                continue;  // a hidden file of the system, not ours
            }
            const std::optional<std::size_t> references = countReferencesToFileStem(info, stem);
            if (!references || *references > 0) {
                continue;
            }
            // The cloud folder copy goes too once cloud folder sync exists.
            std::error_code removeError;
            if (fs::remove(file, removeError)) {
                ++deleted;
            } else if (removeError) {
                LdLogger::shared().logError("Cannot delete the unreferenced resource file " +
                                            file.string() + ": " + removeError.message());
            }
        }
    }
    return deleted;
}

bool LdCFileResourceManager::isEncryptedTwinComplete(const fs::path& plainPath) {
    std::error_code error;
    const fs::path twin = encryptedTwinOf(plainPath);
    if (!fs::is_regular_file(plainPath, error) || !fs::is_regular_file(twin, error)) {
        return false;
    }
    const std::uintmax_t plainSize = fs::file_size(plainPath, error);
    if (error) {
        return false;
    }
    const std::uintmax_t twinSize = fs::file_size(twin, error);
    if (error) {
        return false;
    }
    // Padding always adds between 1 and 16 bytes.
    return twinSize == (plainSize / kCipherBlockSize + 1) * kCipherBlockSize;
}

std::size_t LdCFileResourceManager::deletePlainFilesWithEncryptedTwins(
        const fs::path& databaseURL) {
    std::size_t deleted = 0;
    for (int type : LdCDatabaseManager::allDatabaseResourceTypes()) {
        const fs::path folder = LdCDatabaseManager::urlForResourceType(type, databaseURL);
        std::error_code error;
        std::vector<fs::path> plainFiles;
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            std::error_code typeError;
            if (entry.is_regular_file(typeError) && !isEncryptedFile(entry.path())) {
                plainFiles.push_back(entry.path());
            }
        }
        for (const fs::path& plain : plainFiles) {
            if (!isEncryptedTwinComplete(plain)) {
                continue;  // without a whole twin the plain file is the only good copy
            }
            std::error_code removeError;
            if (fs::remove(plain, removeError)) {
                ++deleted;
            }
        }
    }
    return deleted;
}
