// The catalogue of one run of `ledra`: the databases folder of the command line, the secret store
// and the backups, and the lookup of a database by the name a user types.
#pragma once

#include <memory>
#include <string>

#include "core/database/catalogue/LdCDatabaseManager.h"
#include "core/security/LdSecretServiceStore.h"

#include "cli/LdCliContext.h"

class LdCDatabaseBackupManager;
class LdCOpenDatabaseManager;

class LdCliCatalogue {
public:
    explicit LdCliCatalogue(LdCliContext& context);
    // Waits for every backup and export this run started, then closes what is still open.
    ~LdCliCatalogue();
    LdCliCatalogue(const LdCliCatalogue&) = delete;
    LdCliCatalogue& operator=(const LdCliCatalogue&) = delete;

    LdCDatabaseManager& operator*() { return catalogue_; }
    LdCDatabaseManager* operator->() { return &catalogue_; }
    LdCDatabaseBackupManager& backups() { return *backups_; }
    LdSecretStore& secrets() { return secrets_; }

    // The database called `name` (its name, ignoring case, or its identifier); nullptr with the
    // reason in `failure`.
    LdCDatabaseManager::InfoPtr find(const std::string& name, std::string& failure);

    // Opens a database in `mode`. A database with a password opens with LEDRA_PASSWORD when it is
    // set, else with its saved password, else with one asked for; nullptr with the reason in
    // `failure`.
    LdCOpenDatabaseManager* open(const LdCDatabaseManager::InfoPtr& info,
                                 int mode,
                                 std::string& failure);

    // The initial values `ledra` gives the backup settings of the user defaults.
    static void registerBackupDefaults();

private:
    LdCliContext& context_;
    // Saved passwords live in the desktop's keyring; without a session bus there are none.
    LdSecretServiceStore secrets_;
    LdCDatabaseManager catalogue_;
    std::unique_ptr<LdCDatabaseBackupManager> backups_;
};

// The text of an LdOpenDatabaseResult that is not success.
std::string ldOpenFailureText(int result);
