// LdCDatabaseMergeManager: merges two copies of a database object by object. So far it holds the
// retention of the deletion log, which the database update service also runs outside a merge.
#pragma once

#include "core/support/LdError.h"

class LdManagedObjectContext;

class LdCDatabaseMergeManager {
public:
    // Logs older than this are thinned out; younger ones are always kept (465 days).
    static constexpr double kDeleteLogRetentionSeconds = 40176000.0;
    // Below this many logs nothing is deleted.
    static constexpr std::size_t kDeleteLogThinningThreshold = 10000;

    // deleteOldDeleteSyncLogsWithError:managedObjectContext: — with 10,000 deletion logs or more,
    // deletes the old ones beyond a quota per kind (the newest of each kind stay); then stamps the
    // user record's lastSyncLogCleanUpDate with now. Saving is the caller's.
    static bool deleteOldDeleteSyncLogsWithError(LdError* error, LdManagedObjectContext& context);
};
