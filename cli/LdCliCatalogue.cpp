#include "cli/LdCliCatalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "core/database/backup/LdCDatabaseBackupManager.h"
#include "core/database/session/LdCOpenDatabaseManager.h"
#include "core/security/LdCKeychainController.h"
#include "core/support/LdStrings.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUserDefaults.h"

namespace {

bool sameNameIgnoringCase(const std::string& left, const std::string& right) {
    return std::equal(left.begin(), left.end(), right.begin(), right.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    });
}

}  // namespace

LdCliCatalogue::LdCliCatalogue(LdCliContext& context)
    : context_(context),
      catalogue_(context.databasesFolder.value_or(LdCDatabaseManager::defaultDatabaseFolder()),
                 LdUserDefaults::standard(),
                 secrets_,
                 LdClock::shared()) {
    LdCKeychainController::setSecretStore(&secrets_);
    registerBackupDefaults();
    backups_ = std::make_unique<LdCDatabaseBackupManager>(catalogue_);
    if (context.backupsFolder) {
        backups_->setBackupFolderOverride(*context.backupsFolder);
    }
    catalogue_.reloadAvailableDatabases();
}

LdCliCatalogue::~LdCliCatalogue() {
    // A backup or export that is still running finishes before the process ends: an archive cut
    // short would be removed as a leftover by the next run anyway, but the user asked for it.
    backups_->waitUntilAllExportsFinished();
    for (const auto& info : catalogue_.allDatabases()) {
        if (LdCOpenDatabaseManager* session = catalogue_.openDatabaseManagerForURL(info->url())) {
            session->closeDatabaseWithoutSaving();
        }
    }
    backups_->waitUntilAllExportsFinished();
    LdCKeychainController::setSecretStore(nullptr);
}

void LdCliCatalogue::registerBackupDefaults() {
    LdUserDefaults::standard().registerDefaults(
            {{"timeBasedBackups", LdValue(true)},
             {"backups_intervall", LdValue(std::int64_t{86400})},
             {"backups_number_to_keep", LdValue(std::int64_t{10})},
             {"deleteSyncBackups", LdValue(true)}});
}

LdCDatabaseManager::InfoPtr LdCliCatalogue::find(const std::string& name, std::string& failure) {
    LdCDatabaseManager::InfoPtr found;
    int matches = 0;
    for (const auto& info : catalogue_.allDatabases()) {
        if (info->databaseID() == name) {
            return info;
        }
        if (sameNameIgnoringCase(info->name(), name)) {
            found = info;
            ++matches;
        }
    }
    if (matches == 0) {
        failure = "No database called \"" + name + "\" in " +
                  catalogue_.databasesFolderURL().string() + ".";
        return nullptr;
    }
    if (matches > 1) {
        failure = "Several databases are called \"" + name + "\"; use the identifier.";
        return nullptr;
    }
    return found;
}

LdCOpenDatabaseManager* LdCliCatalogue::open(const LdCDatabaseManager::InfoPtr& info,
                                             int mode,
                                             std::string& failure) {
    std::optional<std::string> password;
    const char* fromEnvironment = std::getenv("LEDRA_PASSWORD");
    if (info->isEncrypted() && fromEnvironment == nullptr) {
        if (auto saved = secrets_.passwordForDatabaseID(info->databaseID())) {
            const int result = catalogue_.openDatabase(info, saved, mode);
            // A saved password that no longer fits was deleted by the catalogue: ask instead.
            if (result != kLdOpenDatabaseWrongPassword) {
                if (result != kLdOpenDatabaseOpened) {
                    failure = ldOpenFailureText(result);
                    return nullptr;
                }
                return catalogue_.openDatabaseManagerForURL(info->url());
            }
        }
    }
    if (info->isEncrypted()) {
        password = context_.readPassword(info->name());
        if (!password) {
            failure = "The database \"" + info->name() + "\" needs its password.";
            return nullptr;
        }
    }
    const int result = catalogue_.openDatabase(info, password, mode);
    if (result != kLdOpenDatabaseOpened) {
        failure = ldOpenFailureText(result);
        return nullptr;
    }
    return catalogue_.openDatabaseManagerForURL(info->url());
}

std::string ldOpenFailureText(int result) {
    switch (result) {
        case kLdOpenDatabaseWrongPassword:
            return LdStrings::localizedString("_DB_WRONG_PASSWORD");
        case kLdOpenDatabaseNeedsMigration:
            return "The database needs a migration to the current version.";
        case kLdOpenDatabaseNewerVersion:
            return "The database was written by a newer version or does not fit this version.";
        case kLdOpenDatabaseCloudConflicts:
            return "The database has unresolved cloud conflicts.";
        case kLdOpenDatabaseBusy:
            return "The database is busy with another operation.";
        case kLdOpenDatabaseAlreadyOpen:
            return "The database is open in another program.";
        default:
            return "The database could not be loaded.";
    }
}
