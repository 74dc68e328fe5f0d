// LdPrivateChildContext: a read-only view of a parent context for work on another thread. Its
// fetches, counts and reads run on the parent's queue (the child posts the request and waits), so
// they see the parent's unsaved changes; results come back as object IDs and plain values.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "core/database/model/LdObjectID.h"
#include "core/database/store/LdCryptStoreFetchRequest.h"
#include "core/support/LdError.h"
#include "core/support/foundation/LdValue.h"

class LdMainQueue;
class LdManagedObjectContext;

// The state of one object as the parent sees it, by property number: attribute values (null for
// relationships), to-one targets (invalid where none) and to-many targets in order.
struct LdObjectSnapshot {
    LdObjectID objectID;
    std::uint64_t version = 0;
    bool isDeleted = false;
    std::vector<LdValue> values;
    std::vector<LdObjectID> toOne;
    std::vector<std::vector<LdObjectID>> toMany;
};

// Made and cancelled on the parent's queue; the reading operations are called from any other
// thread (called on the parent's queue itself they run at once). The parent's queue never waits
// for a child: closing the parent cancels its children, which makes waiting and later calls fail
// with "cancelled".
class LdPrivateChildContext {
public:
    LdPrivateChildContext(LdManagedObjectContext& parent, LdMainQueue& parentQueue);
    ~LdPrivateChildContext();
    LdPrivateChildContext(const LdPrivateChildContext&) = delete;
    LdPrivateChildContext& operator=(const LdPrivateChildContext&) = delete;

    // executeFetchRequest:error: — the IDs of the matching objects, in order.
    std::optional<std::vector<LdObjectID>> executeFetchRequest(const LdFetchRequest& request,
                                                               LdError* error = nullptr);
    // countForFetchRequest:error:
    std::optional<std::size_t> countForFetchRequest(const LdFetchRequest& request,
                                                    LdError* error = nullptr);
    // The object's values and relationships as the parent sees them; an error for a missing row.
    std::optional<LdObjectSnapshot> snapshotForObjectID(const LdObjectID& objectID,
                                                        LdError* error = nullptr);

    // Cancels waiting and later calls. Parent's queue.
    void cancel();

private:
    struct Shared;
    template <typename Result>
    std::optional<Result> runOnParent(
            std::function<std::optional<Result>(LdManagedObjectContext&, LdError*)> work,
            LdError* error);

    std::shared_ptr<Shared> shared_;
    LdMainQueue& queue_;
};
