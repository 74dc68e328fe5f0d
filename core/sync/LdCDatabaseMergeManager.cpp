#include "core/sync/LdCDatabaseMergeManager.h"

#include <map>
#include <string>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/support/platform/LdClock.h"

namespace {

// How many old logs of a kind are kept. A peer that missed more deletions than this of a kind
// needs a full sync anyway; kinds not listed keep none of their old logs.
const std::map<std::string, std::size_t, std::less<>>& quotaPerKind() {
    static const std::map<std::string, std::size_t, std::less<>> kQuota{
            {"DayBalance", 100}, {"Account", 200},    {"Stock", 200},
            {"Entry", 5000},     {"SplitEntry", 500}, {"StockBuy", 100},
            {"Category", 20},    {"Contact", 100},    {"RecurringRule", 100}};
    return kQuota;
}

void stampCleanUpDate(LdManagedObjectContext& context, LdDate now) {
    LdFetchRequest request;
    request.entity = LdCDUser::entityDescription();
    request.fetchLimit = 1;
    auto users = context.executeFetchRequest(request);
    if (users && !users->empty()) {
        static_cast<LdCDUser*>(users->front())->setLastSyncLogCleanUpDate(now);
    }
}

}  // namespace

bool LdCDatabaseMergeManager::deleteOldDeleteSyncLogsWithError(LdError* error,
                                                               LdManagedObjectContext& context) {
    const LdDate now = LdClock::shared().now();
    LdFetchRequest countRequest;
    countRequest.entity = LdCDSyncDeleteLog::entityDescription();
    auto count = context.countForFetchRequest(countRequest, error);
    if (!count) {
        return false;
    }
    if (*count >= kDeleteLogThinningThreshold) {
        LdFetchRequest request;
        request.entity = LdCDSyncDeleteLog::entityDescription();
        const LdValue cutoff(now.dateByAddingTimeInterval(-kDeleteLogRetentionSeconds));
        request.predicate =
                LdPredicateParser::predicateWithFormat("date_of_deletion < %@", {cutoff});
        request.sortDescriptors = {{"date_of_deletion", false}};
        auto logs = context.executeFetchRequest(request, error);
        if (!logs) {
            return false;
        }
        std::map<std::string, std::size_t, std::less<>> kept;
        for (LdManagedObject* object : *logs) {
            auto* log = static_cast<LdCDSyncDeleteLog*>(object);
            const std::string kind = log->object_kind();
            auto quota = quotaPerKind().find(kind);
            if (quota != quotaPerKind().end() && kept[kind] < quota->second) {
                ++kept[kind];
                continue;
            }
            context.deleteObject(log);
        }
    }
    stampCleanUpDate(context, now);
    return true;
}
