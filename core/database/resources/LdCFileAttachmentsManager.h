// LdCFileAttachmentsManager: the files attached to transactions — saving copies of files and
// images as attachments, their names, kinds and sizes, finding, renaming and deleting them, and
// their thumbnails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/database/resources/LdImage.h"
#include "core/database/session/LdCManagedObjectsChangeNotificationManager.h"
#include "core/support/LdError.h"
#include "core/support/platform/LdSubscription.h"

class LdCDBaseEntry;
class LdCDFileAttachment;
class LdCOpenDatabaseManager;
class LdOperationQueue;

// Told about attachments deleted through the manager (addFileAttachmentsObserver:).
class LdCFileAttachmentsObserver {
public:
    virtual ~LdCFileAttachmentsObserver() = default;
    // fileAttachmentDeleted: — just before the object is deleted; it is still readable.
    virtual void fileAttachmentDeleted(LdCDFileAttachment* attachment) = 0;
};

// Attachment file types (the fileType of LdCDFileAttachment), chosen by file extension.
enum LdFileAttachmentType : std::int32_t {
    kLdFileAttachmentTypeUnknown = 0,
    kLdFileAttachmentTypeImage = 1,
    kLdFileAttachmentTypeMovie = 2,
    kLdFileAttachmentTypeDocument = 3,
    kLdFileAttachmentTypePDF = 10,
    kLdFileAttachmentTypeAudio = 30,
};

// Owned by the session for now (later by the transactions manager); main thread only, except the
// thumbnails, which are made on a background queue of this manager and handed over on the main
// queue. Attachment files live in the database's attachments folder under "<UUID>.<extension>"
// (in a password-protected database also encrypted, with ".crypt" appended); an attachment object
// refers to its file by that name, and two attachments may share one file. Files are deleted only
// by the collection of unreferenced files (LdCFileResourceManager) at a full open.
class LdCFileAttachmentsManager final : public LdCManagedObjectsObserver {
public:
    // Thumbnails fit this square.
    static constexpr int kThumbnailSide = 64;
    // The JPEG quality of images saved as attachments.
    static constexpr double kImageCompressionFactor = 0.5;

    using ThumbnailHandler = std::function<void(std::shared_ptr<const LdImage> thumbnail)>;

    // initWithTransactionManager: — the session stands in for the transactions manager until it
    // exists. Registers for changes of file attachments.
    explicit LdCFileAttachmentsManager(LdCOpenDatabaseManager& openDatabaseManager);
    ~LdCFileAttachmentsManager() override;
    LdCFileAttachmentsManager(const LdCFileAttachmentsManager&) = delete;
    LdCFileAttachmentsManager& operator=(const LdCFileAttachmentsManager&) = delete;

    // addFileAttachmentsObserver: / removeFileAttachmentsObserver: — the observer hears while the
    // subscription lives. A missing observer registers nothing.
    [[nodiscard]] LdSubscription addFileAttachmentsObserver(LdCFileAttachmentsObserver* observer);

    // fileAtURL:canBeSaved:
    // True for an existing regular file. False with an error for a path that names nothing, a
    // directory or a symbolic link; false without an error for an empty path or a file whose
    // attributes cannot be read.
    static bool fileAtURLCanBeSaved(const std::filesystem::path& url, LdError* error = nullptr);

    // saveFileAtURL:asAttachmentForEntry:
    // Checks the file, stores a copy in the attachments folder and returns the new attachment on
    // `entry` (display name: the file name without extension; type by extension), owned by the
    // object context. nullptr with the error when the file cannot be saved or the copy or its
    // encryption fails; then neither an attachment nor a file is left behind.
    LdCDFileAttachment* saveFileAtURL(const std::filesystem::path& url,
                                      LdCDBaseEntry* entry,
                                      LdError* error = nullptr);
    // saveFilesAtURLs:asAttachmentsForEntry: — each file as above; stops at the first failure
    // (with its error) and returns the attachments made so far.
    std::vector<LdCDFileAttachment*> saveFilesAtURLs(const std::vector<std::filesystem::path>& urls,
                                                     LdCDBaseEntry* entry,
                                                     LdError* error = nullptr);
    // saveImage:asAttachmentForEntry:
    // Stores `image` as JPEG (quality 0.5, its own size) under the kind name of images, type 1.
    LdCDFileAttachment* saveImage(const LdImage& image,
                                  LdCDBaseEntry* entry,
                                  LdError* error = nullptr);

    // createNewFileAttachment — makes the attachments folder when missing and inserts a new
    // attachment with a fresh sync identity; nullptr when the context refuses it.
    LdCDFileAttachment* createNewFileAttachment();
    // createCopyExistingMediaObject:andConnectItToEntry:
    // A new attachment on `entry` that shares the file of `attachment` (same file name, type and
    // display name).
    LdCDFileAttachment* createCopyExistingMediaObject(LdCDFileAttachment* attachment,
                                                      LdCDBaseEntry* entry);
    // setDisplayName:forFileAttachment: — renames and stamps the sync change date; ignored for a
    // deleted or detached attachment.
    void setDisplayName(const std::string& displayName, LdCDFileAttachment* attachment);
    // fileAttachmentForSyncID: — the attachment with that sync identity, or nullptr.
    LdCDFileAttachment* fileAttachmentForSyncID(const std::string& syncID);
    // deleteFileAttachment: / deleteFileAttachments: — tells the observers, logs each deletion
    // for sync and deletes the object(s); the files stay until the next collection.
    void deleteFileAttachment(LdCDFileAttachment* attachment);
    void deleteFileAttachments(const std::vector<LdCDFileAttachment*>& attachments);

    // URLForFileAttachmentName: — the file's path in the attachments folder.
    std::filesystem::path URLForFileAttachmentName(const std::string& fileName) const;
    // fileForAttachmentExists: — true when the plain file is there; otherwise its encrypted twin
    // is decrypted into the folder, and the result tells whether that worked.
    bool fileForAttachmentExists(LdCDFileAttachment* attachment);

    // fileTypeForFileAtURL: — the type of the path's lower-case extension ("tar.gz" and
    // "rtfd.zip" count as one); 0 for anything unknown.
    static std::int32_t fileTypeForFileAtURL(const std::filesystem::path& url);
    // allowedFileTypes — type number to its extensions.
    static const std::map<std::int32_t, std::vector<std::string>>& allowedFileTypes();
    // localizedDocumentTypeNameForFileType: / localizedDocumentTypeNameForFileAttachment:
    static std::string localizedDocumentTypeNameForFileType(std::int32_t fileType);
    static std::string localizedDocumentTypeNameForFileAttachment(LdCDFileAttachment* attachment);
    // sizeStringOfFileAtURL: — "12 bytes", "34 KB", "5.6 MB", "7.89 GB" (units of 1000); empty
    // when the size cannot be read.
    static std::string sizeStringOfFileAtURL(const std::filesystem::path& url);

    // thumbnailForFileAttachment:completionHandler:
    // Hands the attachment's thumbnail (fitting 64 × 64) to `completionHandler`: at once when it
    // is cached or there is none (nullptr: no file name or no file); otherwise it is made on the
    // background queue, cached on the attachment until it names another file or changes after a
    // save, and handed over on the main queue (not at all when this manager is gone by then).
    void thumbnailForFileAttachment(LdCDFileAttachment* attachment,
                                    ThumbnailHandler completionHandler);
    // Blocks until every thumbnail asked for has been made and its delivery posted to the main
    // queue (shutdown, tests).
    void waitUntilThumbnailsAreMade();

    // managedObjectsDeleted: / managedObjectsUpdated: — drop the cached thumbnails.
    void managedObjectsDeleted(const std::vector<LdManagedObject*>& objects) override;
    void managedObjectsUpdated(const std::vector<LdManagedObject*>& objects) override;

private:
    struct Observers;
    struct ThumbnailCache;

    // saveCreatedMediaObject:extension:fileType:sourceURL:image: — the file first (copied from
    // `sourceURL` or the given bytes), then the object, so a failure leaves neither.
    LdCDFileAttachment* saveMediaObject(const std::string& displayName,
                                        const std::string& extension,
                                        std::int32_t fileType,
                                        const std::filesystem::path& sourceURL,
                                        const LdData* bytes,
                                        LdCDBaseEntry* entry,
                                        LdError* error);
    std::filesystem::path attachmentsFolder() const;

    LdCOpenDatabaseManager& openDatabaseManager_;  // owner; outlives this manager
    std::shared_ptr<Observers> observers_;         // shared with the subscriptions' cancels
    std::shared_ptr<ThumbnailCache> thumbnails_;   // shared with the thumbnail deliveries
    std::unique_ptr<LdOperationQueue> thumbnailQueue_;
    LdSubscription changeSubscription_;
};
