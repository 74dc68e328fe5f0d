// LdCDatabaseMetadataItem: the small file beside a database's store that tells, without the
// password, when and by which application the database was last written and how it is synced.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "core/support/LdError.h"
#include "core/support/foundation/LdDate.h"
#include "core/support/foundation/LdValue.h"

class LdClock;

// A value type. The setters mark the item changed (hasChanges) when they change a value; writing
// it clears the mark. Main thread, like the catalogue and the session that hold it.
//
// File form: a pretty-printed JSON object, written atomically:
//   "lastModified", "lastModifiedForICloud"  ISO 8601 texts, only when set
//   "lastWritingApp", "lastWritingAppVersion"  texts, only when set
//   "needsICloudMerge"  boolean;  "syncMode"  number
// Reading also accepts the older keyed-archive form of the same dictionary, whose dates may be
// date objects.
class LdCDatabaseMetadataItem {
public:
    static constexpr const char* kLastModifiedKey = "lastModified";
    static constexpr const char* kLastModifiedForICloudKey = "lastModifiedForICloud";
    static constexpr const char* kLastWritingAppKey = "lastWritingApp";
    static constexpr const char* kLastWritingAppVersionKey = "lastWritingAppVersion";
    static constexpr const char* kNeedsICloudMergeKey = "needsICloudMerge";
    static constexpr const char* kSyncModeKey = "syncMode";

    // Sync modes.
    static constexpr std::uint32_t kSyncModeNone = 0;
    static constexpr std::uint32_t kSyncModeICloud = 1;
    static constexpr std::uint32_t kSyncModeLocalNetwork = 2;

    LdCDatabaseMetadataItem() = default;
    // An empty item that writes to `metadataFileURL`.
    explicit LdCDatabaseMetadataItem(std::filesystem::path metadataFileURL)
        : metadataFileURL_(std::move(metadataFileURL)) {}

    // metadataItemForNewDatabaseAtURL: — last modified now, this application's name and version,
    // sync mode 0, its file "externalMetadata.ldmetadata" in the database folder. Not yet written.
    static LdCDatabaseMetadataItem metadataItemForNewDatabaseAtURL(
            const std::filesystem::path& databaseURL, const LdClock& clock);

    // initWithContentsOfURL:error: — reads the file (JSON or keyed archive). Nothing with an error
    // for a missing, unreadable or damaged file.
    static std::optional<LdCDatabaseMetadataItem> metadataItemWithContentsOfURL(
            const std::filesystem::path& metadataFileURL, LdError* error = nullptr);
    // The item of file content (either form); its file URL stays empty.
    static std::optional<LdCDatabaseMetadataItem> metadataItemFromData(const LdData& data,
                                                                       LdError* error = nullptr);
    // The item of a dictionary of either form; values of the wrong type are ignored.
    static LdCDatabaseMetadataItem metadataItemFromDictionary(const LdValue::Dictionary& values);

    // writeMetadata: — writes the JSON to metadataFileURL and clears hasChanges.
    bool writeMetadata(LdError* error = nullptr);
    // The JSON text of the item (pretty-printed, keys in sorted order).
    std::string jsonRepresentation() const;

    const std::optional<LdDate>& lastModified() const { return lastModified_; }
    void setLastModified(std::optional<LdDate> date);
    const std::optional<LdDate>& lastModifiedForICloud() const { return lastModifiedForICloud_; }
    void setLastModifiedForICloud(std::optional<LdDate> date);
    const std::optional<std::string>& lastWritingAppName() const { return lastWritingAppName_; }
    void setLastWritingAppName(std::optional<std::string> name);
    const std::optional<std::string>& lastWritingAppVersion() const {
        return lastWritingAppVersion_;
    }
    void setLastWritingAppVersion(std::optional<std::string> version);
    std::uint32_t syncMode() const { return syncMode_; }
    void setSyncMode(std::uint32_t syncMode);
    bool needsICloudMerge() const { return needsICloudMerge_; }
    void setNeedsICloudMerge(bool needsMerge);

    // Whether a setter changed a value since the item was made, read or written.
    bool hasChanges() const { return hasChanges_; }
    void setHasChanges(bool hasChanges) { hasChanges_ = hasChanges; }

    const std::filesystem::path& metadataFileURL() const { return metadataFileURL_; }
    void setMetadataFileURL(std::filesystem::path url) { metadataFileURL_ = std::move(url); }

    // Equal values (the file URL and the change mark do not count).
    bool operator==(const LdCDatabaseMetadataItem& other) const;

private:
    std::optional<LdDate> lastModified_;
    std::optional<LdDate> lastModifiedForICloud_;
    std::optional<std::string> lastWritingAppName_;
    std::optional<std::string> lastWritingAppVersion_;
    std::uint32_t syncMode_ = kSyncModeNone;
    bool needsICloudMerge_ = false;
    bool hasChanges_ = false;
    std::filesystem::path metadataFileURL_;
};

namespace ld::detail {
// Reads "2024-05-01T12:30:00Z", with optional fractions of a second and an offset ("+02:00",
// "+0200") instead of "Z". Nothing for any other form or an impossible date.
std::optional<LdDate> metadataDateFromISO8601(std::string_view text);
}  // namespace ld::detail
