// Attachments of transactions: saving copies of files and images (plain and encrypted), the checks
// before saving, failures that must leave nothing behind, file kinds and sizes, copies sharing one
// file, deletion with its log and observers, and thumbnails.
#include "core/database/resources/LdCFileAttachmentsManager.h"

#include "core/database/resources/LdCFileResourceManager.h"
#include "core/database/resources/LdImage.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdUUID.h"

#include "tests/database/resources/LdCFileTestDatabase.h"

namespace {

using Manager = LdCFileAttachmentsManager;

class LdCFileAttachmentsManagerTest : public LdCFileTestDatabase {
protected:
    // Asks for a thumbnail and returns what the handler got, after the background work and the
    // delivery on the main queue.
    std::shared_ptr<const LdImage> thumbnailOf(LdCDFileAttachment* attachment) {
        bool called = false;
        std::shared_ptr<const LdImage> result;
        attachments().thumbnailForFileAttachment(attachment,
                                                 [&](std::shared_ptr<const LdImage> thumbnail) {
                                                     called = true;
                                                     result = std::move(thumbnail);
                                                 });
        attachments().waitUntilThumbnailsAreMade();
        LdMainQueue::main().runUntilIdle();
        EXPECT_TRUE(called);
        return result;
    }

    // An image of `width` × `height` whose left half is opaque red and right half opaque blue.
    static LdImage halfRedImage(int width, int height) {
        LdData rgba(static_cast<std::size_t>(width * height) * 4U);
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                std::uint8_t* pixel = rgba.data() + static_cast<std::size_t>(y * width + x) * 4U;
                pixel[0] = x < width / 2 ? 255 : 0;
                pixel[2] = x < width / 2 ? 0 : 255;
                pixel[3] = 255;
            }
        }
        return LdImage(width, height, std::move(rgba));
    }

    static const std::uint8_t* pixelAt(const LdImage& image, int x, int y) {
        return image.rgba().data() + static_cast<std::size_t>(y * image.width() + x) * 4U;
    }
};

class RecordingObserver : public LdCFileAttachmentsObserver {
public:
    void fileAttachmentDeleted(LdCDFileAttachment* attachment) override {
        deleted.push_back(attachment->displayName());
    }
    std::vector<std::string> deleted;
};

// Whether a stored name is a new identifier followed by the source's extension in capitals.
bool isStoredReceiptName(const std::string& name) {
    const std::size_t dot = name.find('.');
    return dot != std::string::npos && LdUUID::isUUIDString(name.substr(0, dot)) &&
           name.substr(dot) == ".PDF";
}

TEST_F(LdCFileAttachmentsManagerTest, ReceiptInCapitalsIsAPDFStoredUnderAUUIDNameInPlainForm) {
    ASSERT_NE(createAndOpen("Plain", std::nullopt), nullptr);
    LdCDEntry* entry = makeEntry("Groceries");
    const auto source = sourceFile("Receipt.PDF", "%PDF-1.4 receipt bytes");

    LdError error;
    LdCDFileAttachment* attachment = attachments().saveFileAtURL(source, entry, &error);
    ASSERT_NE(attachment, nullptr) << error;
    EXPECT_EQ(attachment->fileType(), kLdFileAttachmentTypePDF);
    EXPECT_EQ(attachment->displayName(), "Receipt");
    EXPECT_TRUE(isStoredReceiptName(attachment->fileName())) << attachment->fileName();
    EXPECT_FALSE(attachment->syncUniqueID().empty());
    EXPECT_EQ(attachment->entry(), entry);
    EXPECT_EQ(Manager::localizedDocumentTypeNameForFileAttachment(attachment),
              LdStrings::localizedString("_MEDIA_FILE_SPECIFIER_PDF_TITLE", "LdCAttachments"));
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{attachment->fileName()});
    EXPECT_EQ(ldReadFile(attachments().URLForFileAttachmentName(attachment->fileName())),
              ldReadFile(source));
    EXPECT_TRUE(std::filesystem::exists(source));

    // Saved and closed, a database without password keeps the plain file.
    const std::string fileName = attachment->fileName();
    close();
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName});
}

TEST_F(LdCFileAttachmentsManagerTest, ProtectedDatabaseKeepsOnlyTheEncryptedFileAfterClose) {
    ASSERT_NE(createAndOpen("Protected", "secret"), nullptr);
    const auto source = sourceFile("Receipt.PDF", std::string(100, 'r'));
    LdError error;
    LdCDFileAttachment* attachment = attachments().saveFileAtURL(source, makeEntry("Fuel"), &error);
    ASSERT_NE(attachment, nullptr) << error;
    const std::string fileName = attachment->fileName();
    const std::string syncID = attachment->syncUniqueID();
    EXPECT_TRUE(isStoredReceiptName(fileName)) << fileName;
    EXPECT_EQ(filesIn(attachmentsFolder()),
              (std::vector<std::string>{fileName, fileName + ".crypt"}));
    EXPECT_TRUE(LdCFileResourceManager::isEncryptedTwinComplete(attachmentsFolder() / fileName));

    close();
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName + ".crypt"});

    // Opening again keeps the referenced file; asking for it brings the plain copy back.
    ASSERT_NE(reopen("secret"), nullptr);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName + ".crypt"});
    LdCDFileAttachment* reread = attachments().fileAttachmentForSyncID(syncID);
    ASSERT_NE(reread, nullptr);
    EXPECT_TRUE(attachments().fileForAttachmentExists(reread));
    EXPECT_EQ(ldReadFile(attachmentsFolder() / fileName), ldReadFile(source));
    close();
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName + ".crypt"});
}

TEST_F(LdCFileAttachmentsManagerTest, UnsavableSourcesAreRefusedBeforeAnythingIsCreated) {
    ASSERT_NE(createAndOpen("Checks", std::nullopt), nullptr);
    const auto regular = sourceFile("notes.txt", "text");
    const auto directory = folder_ / "sources" / "folder.zip";
    std::filesystem::create_directories(directory);
    const auto link = folder_ / "sources" / "link.txt";
    std::filesystem::create_symlink(regular, link);

    struct Case {
        std::filesystem::path url;
        const char* titleKey;  // nullptr: refused without an error
    };
    for (const Case& check :
         {Case{folder_ / "sources" / "missing.pdf", "_MEDIA_NO_OBJECT_AT_URL_ERROR_TITLE"},
          Case{directory, "_MEDIA_IS_DIRECTORY_ERROR_TITLE"},
          Case{link, "_MEDIA_IS_SYMBOLIC_LINK_ERROR_TITLE"},
          Case{std::filesystem::path(), nullptr}}) {
        SCOPED_TRACE(check.url.string());
        LdError error;
        EXPECT_FALSE(Manager::fileAtURLCanBeSaved(check.url, &error));
        EXPECT_EQ(attachments().saveFileAtURL(check.url, makeEntry("x"), &error), nullptr);
        if (check.titleKey != nullptr) {
            EXPECT_EQ(error.titleKey(), check.titleKey);
            EXPECT_NE(error.title(), check.titleKey) << "the title has a text of its own";
        } else {
            EXPECT_FALSE(error.isSet());
        }
    }
    EXPECT_TRUE(Manager::fileAtURLCanBeSaved(regular));
    EXPECT_EQ(count(LdCDFileAttachment::entityDescription()), 0U);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{});
}

TEST_F(LdCFileAttachmentsManagerTest, FailedWriteOrEncryptionLeavesNeitherObjectNorFile) {
    ASSERT_NE(createAndOpen("Faults", "secret"), nullptr);
    const auto source = sourceFile("Invoice.pdf", "%PDF invoice");

    // A file where the attachments folder belongs: the copy cannot be written.
    std::filesystem::remove_all(attachmentsFolder());
    ldWriteFile(attachmentsFolder(), std::string("in the way"));
    LdError error;
    EXPECT_EQ(attachments().saveFileAtURL(source, makeEntry("a"), &error), nullptr);
    EXPECT_EQ(error.titleKey(), "_MEDIA_SAVE_FAILED_ERROR_TITLE");
    EXPECT_EQ(count(LdCDFileAttachment::entityDescription()), 0U);
    std::filesystem::remove(attachmentsFolder());

    // A user record without its resource-file key: the copy is written but cannot be encrypted.
    session_->currentUser()->setPasswordForResourceFiles(std::nullopt);
    error = LdError();
    EXPECT_EQ(attachments().saveImage(halfRedImage(8, 4), makeEntry("b"), &error), nullptr);
    EXPECT_EQ(error.titleKey(), "_MEDIA_SAVE_FAILED_ERROR_TITLE");
    error = LdError();
    EXPECT_EQ(attachments().saveFileAtURL(source, makeEntry("c"), &error), nullptr);
    EXPECT_EQ(error.titleKey(), "_MEDIA_SAVE_FAILED_ERROR_TITLE");
    EXPECT_EQ(count(LdCDFileAttachment::entityDescription()), 0U);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{});
}

TEST_F(LdCFileAttachmentsManagerTest, KindsFollowTheLowerCaseExtension) {
    struct Case {
        const char* name;
        std::int32_t type;
        const char* displayName;
    };
    ASSERT_NE(createAndOpen("Kinds", std::nullopt), nullptr);
    for (const Case& check :
         {Case{"Photo.JPG", 1, "Photo"}, Case{"clip.mov", 2, "clip"},
          Case{"backup.tar.gz", 3, "backup"}, Case{"notes.rtfd.zip", 3, "notes"},
          Case{"archive.gz", 0, "archive"}, Case{"song.Mp3", 30, "song"},
          Case{"statement.pdf", 10, "statement"}, Case{"data.xyz", 0, "data"},
          Case{"README", 0, "README"}, Case{".hidden", 0, ".hidden"}}) {
        SCOPED_TRACE(check.name);
        EXPECT_EQ(Manager::fileTypeForFileAtURL(check.name), check.type);
        LdError error;
        LdCDFileAttachment* attachment =
                attachments().saveFileAtURL(sourceFile(check.name, "x"), makeEntry("k"), &error);
        ASSERT_NE(attachment, nullptr) << error;
        EXPECT_EQ(attachment->fileType(), check.type);
        EXPECT_EQ(attachment->displayName(), check.displayName);
    }
    EXPECT_EQ(Manager::localizedDocumentTypeNameForFileType(0),
              LdStrings::localizedString("_MEDIA_FILE_SPECIFIER_UNKNOWN_TITLE", "LdCAttachments"));
    EXPECT_EQ(Manager::localizedDocumentTypeNameForFileType(77),
              Manager::localizedDocumentTypeNameForFileType(0));
    EXPECT_EQ(Manager::allowedFileTypes().at(3).size(), 21U);
}

TEST_F(LdCFileAttachmentsManagerTest, SizeTextsUseDecimalUnits) {
    struct Case {
        std::uintmax_t size;
        const char* text;
    };
    for (const Case& check :
         {Case{0, "0 bytes"}, Case{1, "1 byte"}, Case{999, "999 bytes"}, Case{1'499, "1 KB"},
          Case{2'500'000, "2.5 MB"}, Case{3'210'000'000, "3.21 GB"}}) {
        const auto path = folder_ / "sized";
        ldWriteFile(path, std::string());
        std::filesystem::resize_file(path, check.size);  // sparse: no disk space used
        EXPECT_EQ(Manager::sizeStringOfFileAtURL(path), check.text);
    }
    EXPECT_EQ(Manager::sizeStringOfFileAtURL(folder_ / "missing"), "");
}

TEST_F(LdCFileAttachmentsManagerTest, CopiesShareTheFileAndDeletionsAreLoggedAndAnnounced) {
    ASSERT_NE(createAndOpen("Shared", std::nullopt), nullptr);
    RecordingObserver observer;
    LdSubscription subscription = attachments().addFileAttachmentsObserver(&observer);
    LdError error;
    LdCDFileAttachment* original =
            attachments().saveImage(halfRedImage(40, 20), makeEntry("first"), &error);
    ASSERT_NE(original, nullptr) << error;
    EXPECT_EQ(original->fileType(), kLdFileAttachmentTypeImage);
    EXPECT_EQ(original->displayName(),
              LdStrings::localizedString("_MEDIA_FILE_SPECIFIER_IMAGE_TITLE", "LdCAttachments"));
    EXPECT_EQ(std::filesystem::path(original->fileName()).extension(), ".jpg");
    auto stored = LdImage::imageWithContentsOfFile(attachmentsFolder() / original->fileName());
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->width(), 40);

    LdCDFileAttachment* copy =
            attachments().createCopyExistingMediaObject(original, makeEntry("second"));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->fileName(), original->fileName());
    EXPECT_NE(copy->syncUniqueID(), original->syncUniqueID());
    clock_.advance(60.0);
    attachments().setDisplayName("Till slip", copy);
    EXPECT_EQ(copy->displayName(), "Till slip");
    EXPECT_EQ(copy->syncChangeDate(), clock_.now());

    const std::string originalID = original->syncUniqueID();
    attachments().deleteFileAttachment(original);
    EXPECT_EQ(observer.deleted, std::vector<std::string>{"Image"});
    EXPECT_EQ(count(LdCDSyncDeleteLog::entityDescription(),
                    "id_of_deleted_object == %@ AND object_kind == %@",
                    {originalID, std::string("FileAttachment")}),
              1U);
    EXPECT_EQ(attachments().fileAttachmentForSyncID(originalID), nullptr);
    EXPECT_EQ(attachments().fileAttachmentForSyncID(copy->syncUniqueID()), copy);
    attachments().setDisplayName("ignored", original);

    // An observer whose subscription is gone hears nothing more.
    subscription.cancel();
    attachments().deleteFileAttachments({copy});
    EXPECT_EQ(observer.deleted.size(), 1U);
    EXPECT_EQ(count(LdCDFileAttachment::entityDescription()), 0U);
    EXPECT_EQ(count(LdCDSyncDeleteLog::entityDescription()), 2U);
}

TEST_F(LdCFileAttachmentsManagerTest, ThumbnailsOfImagePDFAndOtherFiles) {
    ASSERT_NE(createAndOpen("Thumbnails", "secret"), nullptr);
    LdError error;
    const auto pngPath = folder_ / "sources" / "wide.png";
    ldWriteFile(pngPath, *halfRedImage(200, 100).PNGRepresentation());
    LdCDFileAttachment* png = attachments().saveFileAtURL(pngPath, makeEntry("png"), &error);
    LdCDFileAttachment* pdf = attachments().saveFileAtURL(
            ldTestDataPath("attachments/half-red-landscape.pdf"), makeEntry("pdf"), &error);
    LdCDFileAttachment* text =
            attachments().saveFileAtURL(sourceFile("notes.txt", "hello"), makeEntry("txt"), &error);
    ASSERT_TRUE(png != nullptr && pdf != nullptr && text != nullptr) << error;
    // Only the encrypted copies are left, as after a reopening: each thumbnail decrypts first.
    LdCFileResourceManager::deletePlainFilesWithEncryptedTwins(info_->url());

    for (LdCDFileAttachment* attachment : {png, pdf}) {
        SCOPED_TRACE(attachment->displayName());
        const auto thumbnail = thumbnailOf(attachment);
        ASSERT_NE(thumbnail, nullptr);
        EXPECT_EQ(thumbnail->width(), 64);
        EXPECT_EQ(thumbnail->height(), 32);
        const std::uint8_t* left = pixelAt(*thumbnail, 8, 16);
        const std::uint8_t* right = pixelAt(*thumbnail, 56, 16);
        EXPECT_GT(left[0], 200);
        EXPECT_LT(left[1], 60);
        EXPECT_LT(left[2], 60);
        // Blue in the image, white paper in the PDF: not red.
        EXPECT_GT(right[2], 200);
        EXPECT_GT(right[3], 200);
    }
    const auto icon = thumbnailOf(text);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->width(), 64);
    EXPECT_EQ(icon->height(), 64);

    // The second request is answered at once from the cache, also after a rename; an attachment
    // that names another file gets the thumbnail of that file.
    std::shared_ptr<const LdImage> cached;
    attachments().setDisplayName("renamed", text);
    attachments().thumbnailForFileAttachment(
            text, [&](std::shared_ptr<const LdImage> thumbnail) { cached = std::move(thumbnail); });
    EXPECT_EQ(cached, icon);
    text->setFileName(pdf->fileName());
    text->setFileType(pdf->fileType());
    const auto page = thumbnailOf(text);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->height(), 32);

    // Without a file name or a file there is none.
    LdCDFileAttachment* empty = attachments().createNewFileAttachment();
    EXPECT_EQ(thumbnailOf(empty), nullptr);
    empty->setFileName(std::string("ABSENT.png"));
    EXPECT_EQ(thumbnailOf(empty), nullptr);
}

}  // namespace
