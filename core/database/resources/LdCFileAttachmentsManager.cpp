#include "core/database/resources/LdCFileAttachmentsManager.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <system_error>
#include <unordered_map>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/resources/detail/LdAttachmentsStrings.h"
#include "core/database/resources/detail/LdFileCopy.h"
#include "core/database/resources/detail/LdThumbnails.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/security/VTCrypto.h"
#include "core/support/LdLogger.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdFiles.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/queues/LdOperationQueue.h"

namespace fs = std::filesystem;

struct LdCFileAttachmentsManager::Observers {
    std::vector<LdCFileAttachmentsObserver*> list;
};

// The thumbnails made, by attachment, with the file name each was made from: an attachment that
// now names another file gets a new one.
struct LdCFileAttachmentsManager::ThumbnailCache {
    struct Entry {
        std::string fileName;
        std::shared_ptr<const LdImage> image;
    };
    std::unordered_map<LdObjectID, Entry> images;
};

namespace {

// Extensions of two parts, which count as one.
constexpr std::array<const char*, 2> kTwoPartExtensions = {"tar.gz", "rtfd.zip"};

std::string lowercased(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// The extension of a file name as written (two-part ones whole), without the dot; empty for a
// name without one. A leading dot starts a hidden name, not an extension.
std::string extensionOfFileName(const std::string& name) {
    const std::string lower = lowercased(name);
    for (const char* twoPart : kTwoPartExtensions) {
        const std::string suffix = std::string(".") + twoPart;
        if (lower.size() > suffix.size() &&
            lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
            return name.substr(name.size() - suffix.size() + 1);
        }
    }
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) {
        return {};
    }
    return name.substr(dot + 1);
}

fs::path encryptedTwinOf(const fs::path& plainPath) {
    fs::path twin = plainPath;
    twin += std::string(".") + std::string(VTCrypto::kEncryptedFileExtension);
    return twin;
}

void removeQuietly(const fs::path& path) {
    std::error_code ignored;
    fs::remove(path, ignored);
}

}  // namespace

LdCFileAttachmentsManager::LdCFileAttachmentsManager(LdCOpenDatabaseManager& openDatabaseManager)
    : openDatabaseManager_(openDatabaseManager),
      observers_(std::make_shared<Observers>()),
      thumbnails_(std::make_shared<ThumbnailCache>()),
      thumbnailQueue_(std::make_unique<LdOperationQueue>("FileAttachmentThumbnailQueue")) {
    if (LdCManagedObjectsChangeNotificationManager* changes =
                openDatabaseManager_.managedObjectsChangeNotificationManager()) {
        changeSubscription_ = changes->registerObserver(
                this,
                std::vector<const LdEntityDescription*>{LdCDFileAttachment::entityDescription()});
    }
}

LdCFileAttachmentsManager::~LdCFileAttachmentsManager() {
    changeSubscription_.cancel();
    // The queue's destructor cancels what is left and joins its worker.
    thumbnailQueue_.reset();
}

LdSubscription LdCFileAttachmentsManager::addFileAttachmentsObserver(
        LdCFileAttachmentsObserver* observer) {
    if (observer == nullptr) {
        return {};
    }
    auto& list = observers_->list;
    if (std::find(list.begin(), list.end(), observer) == list.end()) {
        list.push_back(observer);
    }
    std::weak_ptr<Observers> weak = observers_;
    return LdSubscription([weak, observer] {
        if (auto observers = weak.lock()) {
            auto& entries = observers->list;
            entries.erase(std::remove(entries.begin(), entries.end(), observer), entries.end());
        }
    });
}

bool LdCFileAttachmentsManager::fileAtURLCanBeSaved(const fs::path& url, LdError* error) {
    if (url.empty()) {
        return false;  // no file path at all
    }
    std::error_code statusError;
    const fs::file_status status = fs::symlink_status(url, statusError);
    if (status.type() == fs::file_type::not_found) {
        return failWith(error, ld::detail::attachmentsError("_MEDIA_NO_OBJECT_AT_URL_ERROR_TITLE",
                                                            "_MEDIA_NO_OBJECT_AT_URL_ERROR_DESC"));
    }
    if (statusError) {
        return false;  // attributes unreadable
    }
    if (status.type() == fs::file_type::directory) {
        return failWith(error, ld::detail::attachmentsError("_MEDIA_IS_DIRECTORY_ERROR_TITLE",
                                                            "_MEDIA_IS_DIRECTORY_ERROR_DESC"));
    }
    if (status.type() == fs::file_type::symlink) {
        return failWith(error, ld::detail::attachmentsError("_MEDIA_IS_SYMBOLIC_LINK_ERROR_TITLE",
                                                            "_MEDIA_IS_SYMBOLIC_LINK_ERROR_DESC"));
    }
    return status.type() == fs::file_type::regular;
}

LdCDFileAttachment* LdCFileAttachmentsManager::saveFileAtURL(const fs::path& url,
                                                             LdCDBaseEntry* entry,
                                                             LdError* error) {
    if (entry == nullptr || url.empty()) {
        return nullptr;
    }
    if (!fileAtURLCanBeSaved(url, error)) {
        return nullptr;
    }
    const std::string name = url.filename().string();
    const std::string extension = extensionOfFileName(name);
    const std::string displayName =
            extension.empty() ? name : name.substr(0, name.size() - extension.size() - 1);
    return saveMediaObject(displayName, extension, fileTypeForFileAtURL(url), url, nullptr, entry,
                           error);
}

std::vector<LdCDFileAttachment*> LdCFileAttachmentsManager::saveFilesAtURLs(
        const std::vector<fs::path>& urls, LdCDBaseEntry* entry, LdError* error) {
    std::vector<LdCDFileAttachment*> saved;
    for (const fs::path& url : urls) {
        LdCDFileAttachment* attachment = saveFileAtURL(url, entry, error);
        if (attachment == nullptr) {
            break;
        }
        saved.push_back(attachment);
    }
    return saved;
}

LdCDFileAttachment* LdCFileAttachmentsManager::saveImage(const LdImage& image,
                                                         LdCDBaseEntry* entry,
                                                         LdError* error) {
    if (entry == nullptr || image.isEmpty()) {
        return nullptr;
    }
    const std::optional<LdData> jpeg = image.JPEGRepresentation(kImageCompressionFactor, error);
    if (!jpeg) {
        return nullptr;
    }
    return saveMediaObject(localizedDocumentTypeNameForFileType(kLdFileAttachmentTypeImage), "jpg",
                           kLdFileAttachmentTypeImage, fs::path(), &*jpeg, entry, error);
}

LdCDFileAttachment* LdCFileAttachmentsManager::saveMediaObject(const std::string& displayName,
                                                               const std::string& extension,
                                                               std::int32_t fileType,
                                                               const fs::path& sourceURL,
                                                               const LdData* bytes,
                                                               LdCDBaseEntry* entry,
                                                               LdError* error) {
    const fs::path folder = attachmentsFolder();
    std::error_code folderError;
    fs::create_directories(folder, folderError);
    const std::string fileName =
            LdUUID::uuidString() + (extension.empty() ? std::string() : "." + extension);
    const fs::path path = folder / fileName;
    auto saveFailed = [&](const std::string& reason) {
        LdError made = ld::detail::attachmentsError("_MEDIA_SAVE_FAILED_ERROR_TITLE",
                                                    "_MEDIA_SAVE_FAILED_ERROR_DESC");
        made.addDebugInfo("reason", LdValue(reason));
        LdLogger::shared().logError(made.logDescription());
        failWith(error, made);
        return nullptr;
    };
    std::string failure;
    const bool written = bytes != nullptr
                                 ? LdFiles::writeFileAtomically(path, *bytes, &failure)
                                 : ld::detail::copyFileAtomically(sourceURL, path, &failure);
    if (!written) {
        return saveFailed(failure);
    }
    if (openDatabaseManager_.isPasswordProtected()) {
        if (auto failed = VTCrypto::aesEncryptFileAtURL(
                    path, openDatabaseManager_.resourceFilesEncryptionKey(), folder)) {
            removeQuietly(path);
            removeQuietly(encryptedTwinOf(path));
            return saveFailed(failed->logDescription());
        }
    }
    LdCDFileAttachment* attachment = createNewFileAttachment();
    if (attachment == nullptr) {
        removeQuietly(path);
        removeQuietly(encryptedTwinOf(path));
        return saveFailed("the attachment object could not be created");
    }
    attachment->setFileName(fileName);
    attachment->setFileType(fileType);
    attachment->setDisplayName(displayName);
    attachment->setEntry(entry);
    return attachment;
}

LdCDFileAttachment* LdCFileAttachmentsManager::createNewFileAttachment() {
    LdManagedObjectContext* context = openDatabaseManager_.managedObjectContext();
    if (context == nullptr) {
        return nullptr;
    }
    std::error_code folderError;
    fs::create_directories(attachmentsFolder(), folderError);
    auto* attachment =
            context->insertNewObject<LdCDFileAttachment>(LdCDFileAttachment::entityName());
    if (attachment != nullptr) {
        attachment->setSyncUniqueID(LdUUID::uuidString());
    }
    return attachment;
}

LdCDFileAttachment* LdCFileAttachmentsManager::createCopyExistingMediaObject(
        LdCDFileAttachment* attachment, LdCDBaseEntry* entry) {
    if (attachment == nullptr || entry == nullptr) {
        return nullptr;
    }
    LdCDFileAttachment* copy = createNewFileAttachment();
    if (copy == nullptr) {
        return nullptr;
    }
    copy->setFileName(attachment->fileName());
    copy->setFileType(attachment->fileType());
    copy->setDisplayName(attachment->displayName());
    copy->setEntry(entry);
    return copy;
}

void LdCFileAttachmentsManager::setDisplayName(const std::string& displayName,
                                               LdCDFileAttachment* attachment) {
    if (attachment == nullptr || attachment->isDeleted() ||
        attachment->managedObjectContext() == nullptr) {
        return;
    }
    attachment->setDisplayName(displayName);
    attachment->setSyncChangeDate(LdClock::shared().now());
}

LdCDFileAttachment* LdCFileAttachmentsManager::fileAttachmentForSyncID(const std::string& syncID) {
    LdManagedObjectContext* context = openDatabaseManager_.managedObjectContext();
    if (context == nullptr || syncID.empty()) {
        return nullptr;
    }
    LdFetchRequest request;
    request.entity = LdCDFileAttachment::entityDescription();
    request.predicate = LdPredicateParser::predicateWithFormat("syncUniqueID == %@", {syncID});
    request.fetchLimit = 1;
    LdError error;
    auto found = context->executeFetchRequest(request, &error);
    if (!found) {
        LdLogger::shared().logError(error.logDescription());
        return nullptr;
    }
    return found->empty() ? nullptr : dynamic_cast<LdCDFileAttachment*>(found->front());
}

void LdCFileAttachmentsManager::deleteFileAttachment(LdCDFileAttachment* attachment) {
    LdManagedObjectContext* context = openDatabaseManager_.managedObjectContext();
    if (attachment == nullptr || context == nullptr || attachment->isDeleted()) {
        return;
    }
    const std::vector<LdCFileAttachmentsObserver*> observers = observers_->list;
    for (LdCFileAttachmentsObserver* observer : observers) {
        observer->fileAttachmentDeleted(attachment);
    }
    thumbnails_->images.erase(attachment->objectID());
    openDatabaseManager_.logDeleteOfManagedObjectWithSyncID(
            attachment->syncUniqueID(), std::string(LdCDFileAttachment::entityName()));
    LdError error;
    if (!context->deleteObject(attachment, &error)) {
        LdLogger::shared().logError(error.logDescription());
    }
}

void LdCFileAttachmentsManager::deleteFileAttachments(
        const std::vector<LdCDFileAttachment*>& attachments) {
    for (LdCDFileAttachment* attachment : attachments) {
        deleteFileAttachment(attachment);
    }
}

fs::path LdCFileAttachmentsManager::attachmentsFolder() const {
    return LdCDatabaseManager::fileAttachmentsFolderURLForDatabaseURL(
            openDatabaseManager_.databaseURL());
}

fs::path LdCFileAttachmentsManager::URLForFileAttachmentName(const std::string& fileName) const {
    if (fileName.empty()) {
        return {};
    }
    return attachmentsFolder() / fileName;
}

bool LdCFileAttachmentsManager::fileForAttachmentExists(LdCDFileAttachment* attachment) {
    if (attachment == nullptr || attachment->fileName().empty()) {
        return false;
    }
    const fs::path path = URLForFileAttachmentName(attachment->fileName());
    std::error_code error;
    if (fs::is_regular_file(path, error)) {
        return true;
    }
    const fs::path twin = encryptedTwinOf(path);
    if (!fs::is_regular_file(twin, error)) {
        return false;
    }
    if (auto failed = VTCrypto::aesDecryptFileAtURL(
                twin, openDatabaseManager_.resourceFilesEncryptionKey(), attachmentsFolder())) {
        LdLogger::shared().logError(failed->logDescription());
        return false;
    }
    return true;
}

const std::map<std::int32_t, std::vector<std::string>>&
LdCFileAttachmentsManager::allowedFileTypes() {
    static const std::map<std::int32_t, std::vector<std::string>> kTypes = {
            {kLdFileAttachmentTypeImage,
             {"jpg", "jpeg", "png", "tiff", "tif", "gif", "bmp", "tga", "pict", "jp2", "ico", "cur",
              "psd"}},
            {kLdFileAttachmentTypeMovie, {"avi", "mov", "mp4", "m4v", "3gp"}},
            {kLdFileAttachmentTypeDocument,
             {"txt", "rtf",  "doc", "docx",   "xlsx",     "xls",  "numbers",
              "ppt", "pptx", "key", "pages",  "rtfd.zip", "rtfd", "pkg",
              "zip", "rar",  "tar", "tar.gz", "eml",      "csv",  "tab"}},
            {kLdFileAttachmentTypePDF, {"pdf"}},
            {kLdFileAttachmentTypeAudio, {"mp3", "wav", "ogg"}},
    };
    return kTypes;
}

std::int32_t LdCFileAttachmentsManager::fileTypeForFileAtURL(const fs::path& url) {
    const std::string extension = lowercased(extensionOfFileName(url.filename().string()));
    if (extension.empty()) {
        return kLdFileAttachmentTypeUnknown;
    }
    for (const auto& [type, extensions] : allowedFileTypes()) {
        if (std::find(extensions.begin(), extensions.end(), extension) != extensions.end()) {
            return type;
        }
    }
    return kLdFileAttachmentTypeUnknown;
}

std::string LdCFileAttachmentsManager::localizedDocumentTypeNameForFileType(std::int32_t fileType) {
    switch (fileType) {
        case kLdFileAttachmentTypeImage:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_IMAGE_TITLE");
        case kLdFileAttachmentTypeMovie:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_MOVIE_TITLE");
        case kLdFileAttachmentTypeDocument:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_DOCUMENT_TITLE");
        case kLdFileAttachmentTypePDF:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_PDF_TITLE");
        case kLdFileAttachmentTypeAudio:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_AUDIO_TITLE");
        default:
            return ld::detail::attachmentsString("_MEDIA_FILE_SPECIFIER_UNKNOWN_TITLE");
    }
}

std::string LdCFileAttachmentsManager::localizedDocumentTypeNameForFileAttachment(
        LdCDFileAttachment* attachment) {
    if (attachment == nullptr) {
        return {};
    }
    return localizedDocumentTypeNameForFileType(attachment->fileType());
}

std::string LdCFileAttachmentsManager::sizeStringOfFileAtURL(const fs::path& url) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(url, error);
    if (error) {
        return {};
    }
    char number[32];
    if (size < 1000) {
        std::snprintf(number, sizeof(number), "%ju", size);
        return LdStrings::format(
                ld::detail::attachmentsString(size == 1 ? "_FILE_SIZE_BYTE" : "_FILE_SIZE_BYTES"),
                {number});
    }
    const auto value = static_cast<double>(size);
    const char* key = "_FILE_SIZE_GB";
    if (size < 1'000'000) {
        std::snprintf(number, sizeof(number), "%.0f", value / 1e3);
        key = "_FILE_SIZE_KB";
    } else if (size < 1'000'000'000) {
        std::snprintf(number, sizeof(number), "%.1f", value / 1e6);
        key = "_FILE_SIZE_MB";
    } else {
        std::snprintf(number, sizeof(number), "%.2f", value / 1e9);
    }
    return LdStrings::format(ld::detail::attachmentsString(key), {number});
}

void LdCFileAttachmentsManager::thumbnailForFileAttachment(LdCDFileAttachment* attachment,
                                                           ThumbnailHandler completionHandler) {
    if (attachment == nullptr || !completionHandler) {
        return;
    }
    if (attachment->fileName().empty()) {
        completionHandler(nullptr);
        return;
    }
    auto cached = thumbnails_->images.find(attachment->objectID());
    if (cached != thumbnails_->images.end() && cached->second.fileName == attachment->fileName()) {
        completionHandler(cached->second.image);
        return;
    }
    if (!fileForAttachmentExists(attachment)) {
        completionHandler(nullptr);
        return;
    }
    const fs::path path = URLForFileAttachmentName(attachment->fileName());
    const std::int32_t fileType = attachment->fileType();
    const LdObjectID objectID = attachment->objectID();
    const std::string fileName = attachment->fileName();
    auto made = std::make_shared<std::shared_ptr<const LdImage>>();
    std::weak_ptr<ThumbnailCache> cache = thumbnails_;
    thumbnailQueue_->addOperation(
            [path, fileType, made](LdOperation& /*operation*/, LdError* error) {
                std::optional<LdImage> thumbnail =
                        ld::detail::thumbnailOfFile(path, fileType, kThumbnailSide, error);
                if (!thumbnail) {
                    return false;
                }
                *made = std::make_shared<const LdImage>(std::move(*thumbnail));
                return true;
            },
            [cache, objectID, fileName, made,
             handler = std::move(completionHandler)](const LdOperationResult& /*result*/) {
                auto thumbnails = cache.lock();
                if (!thumbnails) {
                    return;  // the manager is gone, and with it the database
                }
                if (*made) {
                    thumbnails->images[objectID] = {fileName, *made};
                }
                handler(*made);
            });
}

void LdCFileAttachmentsManager::waitUntilThumbnailsAreMade() {
    thumbnailQueue_->waitUntilAllOperationsAreFinished();
}

void LdCFileAttachmentsManager::managedObjectsDeleted(
        const std::vector<LdManagedObject*>& objects) {
    for (LdManagedObject* object : objects) {
        thumbnails_->images.erase(object->objectID());
    }
}

void LdCFileAttachmentsManager::managedObjectsUpdated(
        const std::vector<LdManagedObject*>& objects) {
    managedObjectsDeleted(objects);
}
