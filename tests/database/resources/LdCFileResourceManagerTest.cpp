// Resource files of a database: the collection of unreferenced files at a full open, plain working
// copies removed at the close of a protected database only beside a whole encrypted twin, resource
// images, and the image reader's size limit.
#include "core/database/resources/LdCFileResourceManager.h"

#include "core/database/resources/LdImage.h"
#include "core/security/VTCrypto.h"

#include "tests/database/resources/LdCFileTestDatabase.h"

namespace {

namespace fs = std::filesystem;

class LdCFileResourceManagerTest : public LdCFileTestDatabase {
protected:
    fs::path folderOfType(int type) const {
        return LdCDatabaseManager::urlForResourceType(type, info_->url());
    }
};

// Answers every reference count with a fixed result (nothing: the count failed).
class FixedCountResourceManager : public LdCFileResourceManager {
public:
    FixedCountResourceManager(LdCOpenDatabaseManager& session, std::optional<std::size_t> answer)
        : LdCFileResourceManager(session), answer_(answer) {}

protected:
    std::optional<std::size_t> countReferencesToFileStem(const LdCFileResourceInfo& /*info*/,
                                                         const std::string& /*stem*/) override {
        return answer_;
    }

private:
    std::optional<std::size_t> answer_;
};

TEST_F(LdCFileResourceManagerTest, TypesAreRegisteredInOrderOfTheirNumbers) {
    ASSERT_NE(createAndOpen("Types", std::nullopt), nullptr);
    const auto& infos = session_->fileResourceManager()->resourceInfos();
    ASSERT_EQ(infos.size(), 5U);
    const char* entities[] = {"Account", "Contact", "Category", "FileAttachment",
                              "AccountStatement"};
    for (std::size_t index = 0; index < infos.size(); ++index) {
        EXPECT_EQ(infos[index].resourceType, static_cast<int>(index) + 1);
        EXPECT_EQ(infos[index].entityName, entities[index]);
        EXPECT_EQ(infos[index].fileReferencePropertyName, index < 3 ? "imageName" : "fileName");
    }
}

TEST_F(LdCFileResourceManagerTest, FullOpenRemovesUnreferencedFilesWithTheirEncryptedTwins) {
    ASSERT_NE(createAndOpen("Collect", std::nullopt), nullptr);
    auto* account = session_->managedObjectContext()->insertNewObject<LdCDAccount>(
            LdCDAccount::entityName());
    account->setImageName(std::string("face.png"));
    const fs::path images = folderOfType(LdCDatabaseManager::kResourceTypeAccountImages);
    // Matched ignoring case; the twin shares the text before the first dot.
    ldWriteFile(images / "FACE.png", std::string("kept"));
    ldWriteFile(images / "FACE.png.crypt", std::string("kept too"));
    ldWriteFile(images / "lost.png", std::string("orphan"));
    ldWriteFile(images / "lost.png.crypt", std::string("orphan twin"));
    ldWriteFile(folderOfType(LdCDatabaseManager::kResourceTypeAccountStatements) / "old.pdf",
                std::string("no statement refers to it"));
    close();

    ASSERT_NE(reopen(std::nullopt), nullptr);
    EXPECT_EQ(filesIn(images), (std::vector<std::string>{"FACE.png", "FACE.png.crypt"}));
    EXPECT_EQ(filesIn(folderOfType(LdCDatabaseManager::kResourceTypeAccountStatements)),
              std::vector<std::string>{});
}

TEST_F(LdCFileResourceManagerTest, SharedAttachmentFileStaysWhileEitherAttachmentExists) {
    ASSERT_NE(createAndOpen("Shared", std::nullopt), nullptr);
    LdError error;
    LdCDFileAttachment* original = attachments().saveFileAtURL(sourceFile("Receipt.PDF", "%PDF"),
                                                               makeEntry("first"), &error);
    ASSERT_NE(original, nullptr) << error;
    const std::string fileName = original->fileName();
    LdCDFileAttachment* copy =
            attachments().createCopyExistingMediaObject(original, makeEntry("second"));
    const std::string copyID = copy->syncUniqueID();
    // Deleting an attachment leaves its file until the next full open.
    attachments().deleteFileAttachment(original);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName});
    close();

    ASSERT_NE(reopen(std::nullopt), nullptr);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{fileName});
    attachments().deleteFileAttachment(attachments().fileAttachmentForSyncID(copyID));
    close();
    ASSERT_NE(reopen(std::nullopt), nullptr);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{});
}

TEST_F(LdCFileResourceManagerTest, FailedReferenceCountKeepsTheFile) {
    ASSERT_NE(createAndOpen("Counting", std::nullopt), nullptr);
    ldWriteFile(attachmentsFolder() / "UNREFERENCED.pdf", std::string("x"));

    FixedCountResourceManager failing(*session_, std::nullopt);
    EXPECT_EQ(failing.performGarbageCollection(), 0U);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{"UNREFERENCED.pdf"});

    FixedCountResourceManager referenced(*session_, 1);
    EXPECT_EQ(referenced.performGarbageCollection(), 0U);
    EXPECT_EQ(session_->fileResourceManager()->performGarbageCollection(), 1U);
    EXPECT_EQ(filesIn(attachmentsFolder()), std::vector<std::string>{});
}

TEST_F(LdCFileResourceManagerTest, ClosingProtectedDatabaseDeletesOnlyPlainFilesWithWholeTwins) {
    ASSERT_NE(createAndOpen("Twins", "secret"), nullptr);
    const LdData key = session_->resourceFilesEncryptionKey();
    const fs::path folder = attachmentsFolder();
    for (const char* name : {"whole.pdf", "block.txt", "cut.pdf", "alone.pdf"}) {
        // 33 bytes encrypt to 48, 16 bytes to 32 (a whole block of padding).
        ldWriteFile(folder / name, std::string(name == std::string("block.txt") ? 16 : 33, 'p'));
    }
    for (const char* name : {"whole.pdf", "block.txt", "cut.pdf"}) {
        ASSERT_FALSE(VTCrypto::aesEncryptFileAtURL(folder / name, key, folder));
    }
    EXPECT_EQ(fs::file_size(folder / "block.txt.crypt"), 32U);
    fs::resize_file(folder / "cut.pdf.crypt", 32);  // an interrupted write
    EXPECT_TRUE(LdCFileResourceManager::isEncryptedTwinComplete(folder / "whole.pdf"));
    EXPECT_FALSE(LdCFileResourceManager::isEncryptedTwinComplete(folder / "cut.pdf"));
    EXPECT_FALSE(LdCFileResourceManager::isEncryptedTwinComplete(folder / "alone.pdf"));
    EXPECT_FALSE(LdCFileResourceManager::isEncryptedTwinComplete(folder / "missing.pdf"));

    close();
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"alone.pdf", "block.txt.crypt", "cut.pdf",
                                                         "cut.pdf.crypt", "whole.pdf.crypt"}));
}

TEST_F(LdCFileResourceManagerTest, ClosingUnprotectedDatabaseKeepsPlainFiles) {
    ASSERT_NE(createAndOpen("Open", std::nullopt), nullptr);
    const fs::path folder = attachmentsFolder();
    ldWriteFile(folder / "a.pdf", std::string("plain"));
    ASSERT_FALSE(VTCrypto::aesEncryptFileAtURL(folder / "a.pdf",
                                               session_->resourceFilesEncryptionKey(), folder));
    close();
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"a.pdf", "a.pdf.crypt"}));
}

TEST_F(LdCFileResourceManagerTest, ResourceImagesAreScaledPNGsEncryptedWhenProtected) {
    ASSERT_NE(createAndOpen("Images", "secret"), nullptr);
    LdCFileResourceManager& resources = *session_->fileResourceManager();
    const LdImage wide(300, 150, LdData(300U * 150U * 4U, 200));
    LdError error;
    ASSERT_TRUE(resources.saveImage(wide, LdCDatabaseManager::kResourceTypeCategoryImages,
                                    "CAT.png", &error))
            << error;
    const fs::path folder = folderOfType(LdCDatabaseManager::kResourceTypeCategoryImages);
    EXPECT_EQ(filesIn(folder), (std::vector<std::string>{"CAT.png", "CAT.png.crypt"}));
    const auto stored = LdImage::imageWithContentsOfFile(folder / "CAT.png");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->width(), 128);
    EXPECT_EQ(stored->height(), 64);

    EXPECT_FALSE(resources.saveImage(wide, 9, "x.png"));
    EXPECT_FALSE(resources.saveImage(wide, LdCDatabaseManager::kResourceTypeCategoryImages, ""));
    error = LdError();
    EXPECT_FALSE(resources.saveImage(LdImage(), LdCDatabaseManager::kResourceTypeCategoryImages,
                                     "empty.png", &error));
    EXPECT_TRUE(error.isSet());
}

// The image reader: sizes are checked from the header before any pixel is decoded.
TEST(LdCFileImageTest, HeaderOverFiftyMegapixelsIsRefusedWithoutDecoding) {
    // A PNG signature and header chunk claiming width × height, then the end chunk: no pixel data
    // at all, so only a decoder that never starts can fail with the size error.
    auto pngHeader = [](std::uint32_t width, std::uint32_t height) {
        LdData bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n',
                        0,    0,   0,   13,  'I',  'H',  'D',  'R'};
        for (std::uint32_t value : {width, height}) {
            for (int shift = 24; shift >= 0; shift -= 8) {
                bytes.push_back(static_cast<std::uint8_t>(value >> shift));
            }
        }
        const LdData rest = {
                8, 6, 0, 0, 0,   0,   0,   0,   0,  // depth, colour, methods, CRC unchecked
                0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
        bytes.insert(bytes.end(), rest.begin(), rest.end());
        return bytes;
    };
    struct Case {
        std::uint32_t width;
        std::uint32_t height;
        const char* descriptionKey;  // nullptr: the size passes
    };
    for (const Case& check :
         {Case{10000, 6000, "_IMAGE_TOO_LARGE_DESC"}, Case{7072, 7071, "_IMAGE_TOO_LARGE_DESC"},
          Case{7071, 7071, nullptr}}) {
        SCOPED_TRACE(std::to_string(check.width) + "x" + std::to_string(check.height));
        const LdData bytes = pngHeader(check.width, check.height);
        LdError error;
        const auto size = LdImage::sizeOfImageData(bytes, &error);
        LdError decodeError;
        EXPECT_FALSE(LdImage::imageWithData(bytes, &decodeError));
        if (check.descriptionKey != nullptr) {
            EXPECT_FALSE(size);
            EXPECT_EQ(error.descriptionKey(), check.descriptionKey);
            EXPECT_EQ(decodeError.descriptionKey(), check.descriptionKey);
        } else {
            ASSERT_TRUE(size);
            EXPECT_EQ(size->first, 7071);
            // It passes the size check and then fails for want of pixel data.
            EXPECT_EQ(decodeError.descriptionKey(), "_IMAGE_UNREADABLE_DESC");
        }
    }

    LdTemporaryFolder folder;
    ldWriteFile(folder / "huge.png", pngHeader(10000, 6000));
    LdError error;
    EXPECT_FALSE(LdImage::imageWithContentsOfFile(folder / "huge.png", &error));
    EXPECT_EQ(error.descriptionKey(), "_IMAGE_TOO_LARGE_DESC");
}

TEST(LdCFileImageTest, DamagedOrEmptyInputGivesErrorsAndEncodingRoundTrips) {
    for (const LdData& bytes : {LdData{}, LdData{1, 2, 3, 4, 5}, LdData(64, 0xff)}) {
        LdError error;
        EXPECT_FALSE(LdImage::imageWithData(bytes, &error));
        EXPECT_EQ(error.titleKey(), "_IMAGE_ERROR_TITLE");
    }
    LdData rgba(6U * 4U * 4U);
    for (std::size_t index = 0; index < rgba.size(); ++index) {
        rgba[index] = static_cast<std::uint8_t>(index * 11);
    }
    const LdImage image(6, 4, rgba);
    const auto png = image.PNGRepresentation();
    ASSERT_TRUE(png);
    const auto decoded = LdImage::imageWithData(*png);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->rgba(), rgba);
    LdData truncated(png->begin(), png->begin() + static_cast<std::ptrdiff_t>(png->size() / 2));
    EXPECT_FALSE(LdImage::imageWithData(truncated));

    const auto jpeg = image.JPEGRepresentation(0.5);
    ASSERT_TRUE(jpeg);
    const auto fromJPEG = LdImage::imageWithData(*jpeg);
    ASSERT_TRUE(fromJPEG);
    EXPECT_EQ(fromJPEG->width(), 6);
    EXPECT_EQ(fromJPEG->rgba()[3], 255) << "JPEG has no alpha";

    // Scaling keeps proportions, never enlarges and never reaches zero.
    EXPECT_EQ(image.scaledToFit(3, 3).width(), 3);
    EXPECT_EQ(image.scaledToFit(3, 3).height(), 2);
    EXPECT_EQ(image.scaledToFit(100, 100).width(), 6);
    EXPECT_EQ(LdImage(1000, 1, LdData(4000, 9)).scaledToFit(64, 64).height(), 1);
}

}  // namespace
