// LdPrivateChildContext: requests posted to the parent's queue, answered as values, with
// cancellation that never makes the parent wait.
#include "core/database/objects/LdPrivateChildContext.h"

#include <condition_variable>
#include <mutex>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/support/queues/LdMainQueue.h"

namespace {

LdError cancelledError() {
    return LdError::errorWithTitle("cancelled",
                                   "The database was closed; the request was cancelled.");
}

}  // namespace

// What the child and the posted work share: the parent while it may be used, and a signal for
// finished or cancelled calls.
struct LdPrivateChildContext::Shared {
    std::mutex mutex;
    std::condition_variable finished;
    LdManagedObjectContext* parent = nullptr;  // nullptr once cancelled
};

LdPrivateChildContext::LdPrivateChildContext(LdManagedObjectContext& parent,
                                             LdMainQueue& parentQueue)
    : shared_(std::make_shared<Shared>()), queue_(parentQueue) {
    shared_->parent = &parent;
}

LdPrivateChildContext::~LdPrivateChildContext() {
    cancel();
}

void LdPrivateChildContext::cancel() {
    {
        std::lock_guard lock(shared_->mutex);
        shared_->parent = nullptr;
    }
    shared_->finished.notify_all();
}

template <typename Result>
std::optional<Result> LdPrivateChildContext::runOnParent(
        std::function<std::optional<Result>(LdManagedObjectContext&, LdError*)> work,
        LdError* error) {
    if (queue_.isMainThread()) {
        LdManagedObjectContext* parent = nullptr;
        {
            std::lock_guard lock(shared_->mutex);
            parent = shared_->parent;
        }
        if (parent == nullptr) {
            failWith(error, cancelledError());
            return std::nullopt;
        }
        return work(*parent, error);
    }
    struct Call {
        bool done = false;
        std::optional<Result> result;
        LdError error;
    };
    auto call = std::make_shared<Call>();
    std::weak_ptr<Shared> weak = shared_;
    queue_.post([weak, call, work = std::move(work)] {
        std::shared_ptr<Shared> shared = weak.lock();
        if (!shared) {
            return;
        }
        std::unique_lock lock(shared->mutex);
        if (shared->parent != nullptr) {
            LdManagedObjectContext* parent = shared->parent;
            // The parent is used on its own queue, which is this thread; cancelling happens here
            // too, so it cannot go away while the work runs.
            lock.unlock();
            call->result = work(*parent, &call->error);
            lock.lock();
        }
        call->done = true;
        lock.unlock();
        shared->finished.notify_all();
    });
    std::unique_lock lock(shared_->mutex);
    shared_->finished.wait(lock, [&] { return call->done || shared_->parent == nullptr; });
    if (!call->done || !call->result) {
        failWith(error, call->done ? call->error : cancelledError());
        return std::nullopt;
    }
    return std::move(call->result);
}

std::optional<std::vector<LdObjectID>> LdPrivateChildContext::executeFetchRequest(
        const LdFetchRequest& request, LdError* error) {
    return runOnParent<std::vector<LdObjectID>>(
            [request](LdManagedObjectContext& parent,
                      LdError* out) -> std::optional<std::vector<LdObjectID>> {
                auto objects = parent.executeFetchRequest(request, out);
                if (!objects) {
                    return std::nullopt;
                }
                std::vector<LdObjectID> ids;
                ids.reserve(objects->size());
                for (const LdManagedObject* object : *objects) {
                    ids.push_back(object->objectID());
                }
                return ids;
            },
            error);
}

std::optional<std::size_t> LdPrivateChildContext::countForFetchRequest(
        const LdFetchRequest& request, LdError* error) {
    return runOnParent<std::size_t>(
            [request](LdManagedObjectContext& parent, LdError* out) {
                return parent.countForFetchRequest(request, out);
            },
            error);
}

std::optional<LdObjectSnapshot> LdPrivateChildContext::snapshotForObjectID(
        const LdObjectID& objectID, LdError* error) {
    return runOnParent<LdObjectSnapshot>(
            [objectID](LdManagedObjectContext& parent,
                       LdError* out) -> std::optional<LdObjectSnapshot> {
                LdManagedObject* object = parent.existingObjectWithID(objectID, out);
                if (object == nullptr) {
                    return std::nullopt;
                }
                const LdEntityDescription* entity = object->entity();
                LdObjectSnapshot snapshot;
                snapshot.objectID = objectID;
                snapshot.version = object->version();
                snapshot.isDeleted = object->isDeleted();
                snapshot.values.resize(entity->propertyCount());
                snapshot.toOne.resize(entity->propertyCount());
                snapshot.toMany.resize(entity->propertyCount());
                for (const LdPropertyDescription* property : entity->properties()) {
                    const std::size_t number = property->propertyNumber();
                    const LdRelationshipDescription* relationship = property->asRelationship();
                    if (relationship == nullptr) {
                        snapshot.values[number] = object->valueAt(number);
                    } else if (relationship->isToOne()) {
                        if (const LdManagedObject* target = object->objectAt(number)) {
                            snapshot.toOne[number] = target->objectID();
                        }
                    } else {
                        for (const LdManagedObject* target : object->objectsAt(number)) {
                            snapshot.toMany[number].push_back(target->objectID());
                        }
                    }
                }
                return snapshot;
            },
            error);
}
