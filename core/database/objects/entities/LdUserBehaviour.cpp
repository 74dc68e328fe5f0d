// The hand-written behaviour of the database-wide records: the user record's name and resource
// file key made on insertion (the key again whenever it is found missing), its total funds, and
// the identities and dates of the sync logs.
#include <vector>

#include <pwd.h>
#include <unistd.h>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/security/VTCrypto.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdUUID.h"

namespace {

// The key material for the database's resource files.
constexpr std::size_t kResourceFilesPasswordLength = 32;

}  // namespace

// LdCDUser

LdDecimal LdCDUser::totalFunds() const {
    LdDecimal total = LdDecimal::zero();
    if (const LdCDAccountList* accounts = mainAccountList()) {
        total += accounts->amount();
    }
    if (const LdCDStockList* stocks = mainStockList()) {
        total += stocks->amount();
    }
    return total;
}

std::string LdCDUser::fullNameOfCurrentUser() {
    long bufferSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(bufferSize > 0 ? static_cast<std::size_t>(bufferSize) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    // The comment field holds "Full Name,Room,Phone,...".
    std::string fullName = found->pw_gecos != nullptr ? found->pw_gecos : "";
    fullName = fullName.substr(0, fullName.find(','));
    if (fullName.empty() && found->pw_name != nullptr) {
        fullName = found->pw_name;
    }
    return fullName;
}

void LdCDUser::makePasswordForResourceFilesIfMissing() {
    if (passwordForResourceFiles().empty()) {
        setPasswordForResourceFiles(VTCrypto::randomBytesOfLength(kResourceFilesPasswordLength));
    }
}

void LdCDUser::awakeFromInsert() {
    setName(fullNameOfCurrentUser());
    makePasswordForResourceFilesIfMissing();
}

void LdCDUser::awakeFromFetch() {
    if (!passwordForResourceFiles().empty()) {
        return;
    }
    // A repair, not a step the user could undo.
    LdUndoManager* undo =
            managedObjectContext() != nullptr ? managedObjectContext()->undoManager() : nullptr;
    if (undo != nullptr) {
        undo->disableUndoRegistration();
    }
    makePasswordForResourceFilesIfMissing();
    if (undo != nullptr) {
        undo->enableUndoRegistration();
    }
}

// LdCDSyncDeleteLog and LdCDSyncAddLog

void LdCDSyncDeleteLog::awakeFromInsert() {
    setSync_unique_id(LdUUID::uuidString());
    setDate_of_deletion(LdClock::shared().now());
}

void LdCDSyncAddLog::awakeFromInsert() {
    setSync_unique_id(LdUUID::uuidString());
    setDate_of_creation(LdClock::shared().now());
}
