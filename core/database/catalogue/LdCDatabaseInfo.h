// LdCDatabaseInfo: the handle of one database of the catalogue — its folder, identifier, name,
// metadata item and what is being done with it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/database/catalogue/LdCDatabaseMetadataItem.h"
#include "core/support/LdError.h"

class LdCDatabaseManager;

// Made by the catalogue (initWithDatabaseURL:) and shared as std::shared_ptr<LdCDatabaseInfo>
// with the session and the application; it lives while its folder (or cloud item) exists. The
// catalogue outlives every info it made. Main thread only.
class LdCDatabaseInfo {
public:
    // ubiquityState values.
    static constexpr int kUbiquityStateLocalOnly = 0;
    static constexpr int kUbiquityStateUnknown = 1;
    static constexpr int kUbiquityStateRemote = 2;  // in the cloud, not downloaded
    static constexpr int kUbiquityStateDownloaded = 3;
    static constexpr int kUbiquityStateConnected = 4;  // current and present locally

    // initWithDatabaseURL: — identifier and name from the folder name, the metadata item read from
    // the folder (absent when the file is missing or damaged).
    LdCDatabaseInfo(LdCDatabaseManager& catalogue, std::filesystem::path url);

    const std::filesystem::path& url() const { return url_; }
    // Moves the info to another folder (after a rename): identifier, name and the metadata file
    // follow the new URL.
    void setURL(std::filesystem::path url);
    const std::string& databaseID() const { return databaseID_; }
    // The display name ("_DB_WITHOUT_NAME" localized when the folder name has none).
    const std::string& name() const { return name_; }

    // The metadata item, or nullptr when none was read or set.
    LdCDatabaseMetadataItem* databaseMetadata() {
        return databaseMetadata_ ? &*databaseMetadata_ : nullptr;
    }
    const LdCDatabaseMetadataItem* databaseMetadata() const {
        return databaseMetadata_ ? &*databaseMetadata_ : nullptr;
    }
    void setDatabaseMetadata(std::optional<LdCDatabaseMetadataItem> item) {
        databaseMetadata_ = std::move(item);
    }
    // Reads the metadata file again. A missing or damaged file leaves no item and false.
    bool reloadMetadata(LdError* error = nullptr);

    // The folder in the cloud when the database lives there as well (its cloud metadata item);
    // set by the cloud folder's manager.
    const std::optional<std::filesystem::path>& cloudURL() const { return cloudURL_; }
    void setCloudURL(std::optional<std::filesystem::path> url) { cloudURL_ = std::move(url); }
    // The cloud state the cloud folder's manager last reported (1 to 4) while cloudURL is set.
    void setCloudState(int state) { cloudState_ = state; }
    int cloudState() const { return cloudState_; }

    bool isFileOperationInProgress() const { return isFileOperationInProgress_; }
    void setFileOperationInProgress(bool value) { isFileOperationInProgress_ = value; }
    bool isMigrating() const { return isMigrating_; }
    void setMigrating(bool value) { isMigrating_ = value; }
    bool isImporting() const { return isImporting_; }
    void setImporting(bool value) { isImporting_ = value; }
    bool isMerging() const { return isMerging_; }
    void setMerging(bool value) { isMerging_ = value; }
    bool isImportable() const { return isImportable_; }
    void setImportable(bool value) { isImportable_ = value; }
    bool isBeingUpdatedFromICloudVersion() const { return isBeingUpdatedFromICloudVersion_; }
    void setBeingUpdatedFromICloudVersion(bool value) { isBeingUpdatedFromICloudVersion_ = value; }
    // progress — 0.0 to 1.0 while a long operation (a migration) runs, else nothing.
    const std::optional<double>& progress() const { return progress_; }
    void setProgress(std::optional<double> progress) { progress_ = progress; }

    // Asked of the catalogue.
    bool isOpen() const;
    bool isEncrypted() const;
    // isWifiSynced — a local-network sync metadata file exists.
    bool isWifiSynced() const;
    // canBeOpened — false while the database is syncing, downloading, importing, migrating or
    // being updated from a cloud version, or while its cloud copy is not downloaded (state 2).
    bool canBeOpened() const;
    // ubiquityState — 0 only local; else the cloud state (1 to 4).
    int ubiquityState() const;

    // Equal when the URLs are equal, or else when both have the same cloud item.
    bool operator==(const LdCDatabaseInfo& other) const;
    // The hash of the URL's path (or the cloud URL's path) plus 23091986.
    std::size_t hash() const;

private:
    void deriveNames();

    LdCDatabaseManager& catalogue_;  // made this info; outlives it
    std::filesystem::path url_;
    std::string databaseID_;
    std::string name_;
    std::optional<LdCDatabaseMetadataItem> databaseMetadata_;
    std::optional<std::filesystem::path> cloudURL_;
    int cloudState_ = kUbiquityStateUnknown;
    bool isFileOperationInProgress_ = false;
    bool isMigrating_ = false;
    bool isImporting_ = false;
    bool isMerging_ = false;
    bool isImportable_ = false;
    bool isBeingUpdatedFromICloudVersion_ = false;
    std::optional<double> progress_;
};

// Hash and equality of shared infos by the info's own rules, for unordered containers.
struct LdCDatabaseInfoHash {
    std::size_t operator()(const std::shared_ptr<LdCDatabaseInfo>& info) const {
        return info ? info->hash() : 0;
    }
};
struct LdCDatabaseInfoEqual {
    bool operator()(const std::shared_ptr<LdCDatabaseInfo>& left,
                    const std::shared_ptr<LdCDatabaseInfo>& right) const {
        return left == right || (left && right && *left == *right);
    }
};
