// LdCDatabaseBackupManager: backups, pruning, archive export and import (first cut: interface
// only).
#include "core/database/backup/LdCDatabaseBackupManager.h"

#include "core/support/platform/LdApplication.h"

struct LdCDatabaseBackupManager::State {
    explicit State(LdCDatabaseManager& c) : catalogue(c) {}
    LdCDatabaseManager& catalogue;
};

LdCDatabaseBackupManager::LdCDatabaseBackupManager(LdCDatabaseManager& catalogue)
    : state_(std::make_shared<State>(catalogue)) {}
LdCDatabaseBackupManager::~LdCDatabaseBackupManager() = default;

std::filesystem::path LdCDatabaseBackupManager::backupFolderURL() const {
    return defaultBackupFolderURL();
}
std::filesystem::path LdCDatabaseBackupManager::defaultBackupFolderURL() {
    return LdApplication::baseFolder() / kDefaultBackupFolderName;
}
bool LdCDatabaseBackupManager::setBackupFolderURL(const std::filesystem::path&, LdError*) {
    return false;
}
void LdCDatabaseBackupManager::setBackupFolderOverride(const std::filesystem::path&) {}
bool LdCDatabaseBackupManager::makeTimeBasedBackupForDatabase(const std::filesystem::path&,
                                                              Completion) {
    return false;
}
bool LdCDatabaseBackupManager::isItTimeToBackupDatabaseAtURL(const std::filesystem::path&) {
    return false;
}
bool LdCDatabaseBackupManager::startBackupForDatabaseAtURL(const std::filesystem::path&,
                                                           int,
                                                           Completion) {
    return false;
}
bool LdCDatabaseBackupManager::backupDatabaseAtURLNow(const std::filesystem::path&, int, LdError*) {
    return false;
}
std::vector<LdCDatabaseBackupInfo> LdCDatabaseBackupManager::existingBackupInfosForDatabaseID(
        std::string_view, int) {
    return {};
}
std::optional<LdCDatabaseBackupInfo> LdCDatabaseBackupManager::backupInfoFromBackupURL(
        const std::filesystem::path&) {
    return std::nullopt;
}
bool LdCDatabaseBackupManager::deleteBackupAtURL(const std::filesystem::path&, bool) {
    return false;
}
bool LdCDatabaseBackupManager::deleteAllBackupsForDatabaseID(std::string_view, LdError*) {
    return false;
}
std::vector<std::string> LdCDatabaseBackupManager::existingBackupDatabaseIDs() {
    return {};
}
void LdCDatabaseBackupManager::cleanBackupsForDatabaseID(std::string_view) {}
void LdCDatabaseBackupManager::cleanAllBackups() {}
LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::restoreDatabaseBackupwithBackupURL(
        const std::filesystem::path&, LdError*) {
    return nullptr;
}
std::string LdCDatabaseBackupManager::databaseNameForRestoredBackupFromURL(
        const std::filesystem::path&) {
    return {};
}
bool LdCDatabaseBackupManager::exportDatabaseAtURL(
        const std::filesystem::path&, const std::filesystem::path&, int, Completion, LdError*) {
    return false;
}
bool LdCDatabaseBackupManager::isArchiveExportInProgressForDBAtURL(
        const std::filesystem::path&) const {
    return false;
}
std::shared_ptr<LdOperation> LdCDatabaseBackupManager::archiveExportOperationForDatabaseURL(
        const std::filesystem::path&) const {
    return nullptr;
}
void LdCDatabaseBackupManager::cancelArchiveExportForDatabaseURL(const std::filesystem::path&) {}
void LdCDatabaseBackupManager::cancelAllArchiveExportOperations() {}
void LdCDatabaseBackupManager::waitUntilAllExportsFinished() {}
LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::importDatabaseOrDBArchiveAtURL(
        const std::filesystem::path& url, LdError* error) {
    return importDatabaseOrDBArchiveAtURL(url, std::nullopt, error);
}
LdCDatabaseManager::InfoPtr LdCDatabaseBackupManager::importDatabaseOrDBArchiveAtURL(
        const std::filesystem::path&, const std::optional<std::string>&, LdError*) {
    return nullptr;
}
void LdCDatabaseBackupManager::setItemCopiedObserver(std::function<void(const std::string&)>) {}
