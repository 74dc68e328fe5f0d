// The handle of one database of the catalogue.
#include "core/database/catalogue/LdCDatabaseInfo.h"

#include "core/database/catalogue/LdCDatabaseManager.h"

LdCDatabaseInfo::LdCDatabaseInfo(LdCDatabaseManager& catalogue, std::filesystem::path url)
    : catalogue_(catalogue), url_(std::move(url)) {
    deriveNames();
    reloadMetadata();
}

void LdCDatabaseInfo::setURL(std::filesystem::path url) {
    url_ = std::move(url);
    deriveNames();
    if (databaseMetadata_.has_value()) {
        databaseMetadata_->setMetadataFileURL(
                LdCDatabaseManager::metadataFileURLForDatabaseURL(url_));
    }
}

void LdCDatabaseInfo::deriveNames() {
    databaseID_ = LdCDatabaseManager::databaseIDFromDatabaseURL(url_);
    name_ = LdCDatabaseManager::nameForDatabaseAtURL(url_);
}

bool LdCDatabaseInfo::reloadMetadata(LdError* error) {
    const std::filesystem::path file = LdCDatabaseManager::metadataFileURLForDatabaseURL(url_);
    std::error_code code;
    if (!std::filesystem::exists(file, code)) {
        // A database made by hand or by an older version may have none: not worth an error.
        databaseMetadata_.reset();
        return false;
    }
    databaseMetadata_ = LdCDatabaseMetadataItem::metadataItemWithContentsOfURL(file, error);
    return databaseMetadata_.has_value();
}

bool LdCDatabaseInfo::isOpen() const {
    return catalogue_.isDatabaseOpenAtURL(url_);
}

bool LdCDatabaseInfo::isEncrypted() const {
    return LdCDatabaseManager::isDatabaseEncryptedAtURL(url_);
}

bool LdCDatabaseInfo::isWifiSynced() const {
    return LdCDatabaseManager::syncMetadataExistsForDatabaseAtURL(url_);
}

bool LdCDatabaseInfo::canBeOpened() const {
    const LdCDatabaseActivityChecks& checks = catalogue_.activityChecks();
    const bool syncing = checks.isSynchronizing && checks.isSynchronizing(*this);
    const bool downloading = checks.isDownloading && checks.isDownloading(*this);
    return !syncing && !downloading && !isImporting_ && !isMigrating_ &&
           !isBeingUpdatedFromICloudVersion_ && ubiquityState() != kUbiquityStateRemote;
}

int LdCDatabaseInfo::ubiquityState() const {
    return cloudURL_.has_value() ? cloudState_ : kUbiquityStateLocalOnly;
}

bool LdCDatabaseInfo::operator==(const LdCDatabaseInfo& other) const {
    if (!url_.empty() && url_ == other.url_) {
        return true;
    }
    return cloudURL_.has_value() && cloudURL_ == other.cloudURL_;
}

std::size_t LdCDatabaseInfo::hash() const {
    const std::filesystem::path& path = url_.empty() && cloudURL_.has_value() ? *cloudURL_ : url_;
    return std::hash<std::string>()(path.string()) + 23091986U;
}
