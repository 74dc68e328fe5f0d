// LdCFileResourceManager: the resource files of one open database — the registry of their kinds,
// the saving of resource images (account, contact and category pictures) and the collection of
// files no object refers to any more.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/database/resources/LdCFileResourceInfo.h"
#include "core/support/LdError.h"

class LdCOpenDatabaseManager;
class LdImage;

// Created by the session at an open and dropped at its close; main thread only. Resource files
// live in one folder per type beside the store and are referred to by name; in a password-protected
// database each has an encrypted twin (the name with ".crypt" appended) and the plain file is a
// working copy that closing removes.
class LdCFileResourceManager {
public:
    // Resource images are scaled to fit this square.
    static constexpr int kResourceImageSide = 128;

    // initWithOpenDatabaseManager:
    explicit LdCFileResourceManager(LdCOpenDatabaseManager& openDatabaseManager);
    virtual ~LdCFileResourceManager() = default;
    LdCFileResourceManager(const LdCFileResourceManager&) = delete;
    LdCFileResourceManager& operator=(const LdCFileResourceManager&) = delete;

    // The resource kinds in the order of their type numbers 1 to 5: account, contact and category
    // images, file attachments, account statements.
    const std::vector<LdCFileResourceInfo>& resourceInfos() const { return infos_; }
    // The kind of a type number, or nullptr.
    const LdCFileResourceInfo* resourceInfoForType(int resourceType) const;

    // saveImage:ofType:fileName:
    // Scales `image` to fit 128 × 128, encodes it as PNG and writes it atomically as `fileName`
    // into the type's folder (made when missing); in a password-protected database it is also
    // encrypted beside it. False with the error (also logged) when encoding, writing or
    // encrypting fails; a failed encryption removes the plain file again. An empty file name or
    // an unknown type is a missing argument.
    bool saveImage(const LdImage& image,
                   int resourceType,
                   const std::string& fileName,
                   LdError* error = nullptr);

    // performGarbageCollection
    // For each type whose folder exists, deletes each file that no object of the type's entity
    // refers to: the file name up to its first "." is looked for in the reference attribute
    // (ignoring case and diacritics). A file whose count fails is kept. An encrypted twin shares
    // the text before the first "." with its plain file, so both stay or go together. Returns the
    // number of files deleted.
    std::size_t performGarbageCollection();

    // Whether the encrypted twin of the plain file at `plainPath` (the name with ".crypt"
    // appended) exists and has the size the encryption of the plain file must have: the plain
    // size rounded up to the next multiple of 16 bytes, a whole block more when it is one already.
    static bool isEncryptedTwinComplete(const std::filesystem::path& plainPath);

    // Deletes, in every resource folder of the database at `databaseURL`, each plain file whose
    // encrypted twin is complete; other plain files stay. For password-protected databases, where
    // plain files are working copies only (closing, backups). Returns the number deleted.
    static std::size_t deletePlainFilesWithEncryptedTwins(const std::filesystem::path& databaseURL);

protected:
    // How many objects (at most one) of the kind's entity refer to the file stem, or nothing when
    // the count fails.
    virtual std::optional<std::size_t> countReferencesToFileStem(const LdCFileResourceInfo& info,
                                                                 const std::string& stem);

private:
    LdCOpenDatabaseManager& openDatabaseManager_;  // owner; outlives this manager
    std::vector<LdCFileResourceInfo> infos_;
};
