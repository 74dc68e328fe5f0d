// The change fan-out of a session: from the context's objects-did-change notifications to the
// observers of entity classes.
//
//   Enabled, not suspended --notification--> fanOut, then nested processPendingChanges
//   Enabled, suspended     --notification--> gather, then nested processPendingChanges
//   Disabled               --notification--> dropped
//   Suspended --endSuspendNotifications (outermost)--> fanOut of the gathered sets
#include "core/database/session/LdCManagedObjectsChangeNotificationManager.h"

#include <algorithm>
#include <any>
#include <atomic>
#include <cassert>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "core/database/model/LdEntityDescription.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/objects/LdManagedObjectContext.h"
#include "core/support/platform/LdNotificationCenter.h"

namespace {

// How deep the processing of changes made by observers currently nests, over every manager of
// the process. Main thread only in practice; atomic so that a stray use elsewhere stays defined.
std::atomic<int> gNestedProcessingLevel{0};

}  // namespace

struct LdCManagedObjectsChangeNotificationManager::Registration {
    LdCManagedObjectsObserver* observer = nullptr;
    std::unordered_set<const LdEntityDescription*> entities;
    std::uint64_t token = 0;  // tells the current registration from a replaced one
};

struct LdCManagedObjectsChangeNotificationManager::State {
    std::vector<Registration> registrations;  // in registration order
    std::uint64_t nextToken = 1;

    bool isRegistered(const LdCManagedObjectsObserver* observer) const {
        return std::any_of(
                registrations.begin(), registrations.end(),
                [observer](const Registration& entry) { return entry.observer == observer; });
    }
};

// Objects in the order they were first added, each once; removal is cheap.
class LdCManagedObjectsChangeNotificationManager::ObjectSet {
public:
    void add(LdManagedObject* object) { members_.try_emplace(object, next_++); }
    void remove(LdManagedObject* object) { members_.erase(object); }

    std::vector<LdManagedObject*> objects() const {
        std::vector<std::pair<std::uint64_t, LdManagedObject*>> ordered;
        ordered.reserve(members_.size());
        for (const auto& [object, position] : members_) {
            ordered.emplace_back(position, object);
        }
        std::sort(ordered.begin(), ordered.end());
        std::vector<LdManagedObject*> result;
        result.reserve(ordered.size());
        for (const auto& entry : ordered) {
            result.push_back(entry.second);
        }
        return result;
    }

private:
    std::unordered_map<LdManagedObject*, std::uint64_t> members_;
    std::uint64_t next_ = 0;
};

LdCManagedObjectsChangeNotificationManager::LdCManagedObjectsChangeNotificationManager(
        LdManagedObjectContext& context)
    : context_(context), state_(std::make_shared<State>()) {
    contextSubscription_ = LdNotificationCenter::defaultCenter().addObserverForName(
            kLdObjectsDidChangeNotification, &context_,
            [this](const LdNotification& notification) { objectsDidChange(notification); });
}

LdCManagedObjectsChangeNotificationManager::~LdCManagedObjectsChangeNotificationManager() {
    contextSubscription_.cancel();
}

LdSubscription LdCManagedObjectsChangeNotificationManager::registerObserver(
        LdCManagedObjectsObserver* observer,
        const std::vector<const LdEntityDescription*>& entities) {
    if (observer == nullptr) {
        return {};
    }
    Registration registration;
    registration.observer = observer;
    registration.token = state_->nextToken++;
    for (const LdEntityDescription* entity : entities) {
        if (entity != nullptr) {
            registration.entities.insert(entity);
        }
    }
    const std::uint64_t token = registration.token;
    auto existing = std::find_if(
            state_->registrations.begin(), state_->registrations.end(),
            [observer](const Registration& entry) { return entry.observer == observer; });
    if (existing != state_->registrations.end()) {
        *existing = std::move(registration);  // keeps its place in the order
    } else {
        state_->registrations.push_back(std::move(registration));
    }
    std::weak_ptr<State> weakState = state_;
    return LdSubscription([weakState, token] {
        if (std::shared_ptr<State> state = weakState.lock()) {
            std::erase_if(state->registrations,
                          [token](const Registration& entry) { return entry.token == token; });
        }
    });
}

LdSubscription LdCManagedObjectsChangeNotificationManager::registerObserver(
        LdCManagedObjectsObserver* observer, const std::vector<std::string>& classNames) {
    std::vector<const LdEntityDescription*> entities;
    for (const LdEntityDescription* entity : context_.store().model().entities()) {
        if (std::find(classNames.begin(), classNames.end(), entity->className()) !=
            classNames.end()) {
            entities.push_back(entity);
        }
    }
    return registerObserver(observer, entities);
}

std::size_t LdCManagedObjectsChangeNotificationManager::observerCount() const {
    return state_->registrations.size();
}

void LdCManagedObjectsChangeNotificationManager::beginSuspendNotifications() {
    if (suspendCounter_ == 0) {
        insertedObjects_ = std::make_unique<ObjectSet>();
        updatedObjects_ = std::make_unique<ObjectSet>();
        deletedObjects_ = std::make_unique<ObjectSet>();
    }
    ++suspendCounter_;
}

void LdCManagedObjectsChangeNotificationManager::endSuspendNotifications() {
    assert(suspendCounter_ > 0 && "endSuspendNotifications without beginSuspendNotifications");
    if (suspendCounter_ == 0 || --suspendCounter_ > 0) {
        return;
    }
    LdObjectsDidChange combined;
    combined.inserted = insertedObjects_->objects();
    combined.updated = updatedObjects_->objects();
    combined.deleted = deletedObjects_->objects();
    insertedObjects_.reset();
    updatedObjects_.reset();
    deletedObjects_.reset();
    // Switching notifications off also silences what was gathered before.
    if (!disabled_) {
        fanOut(combined);
    }
}

void LdCManagedObjectsChangeNotificationManager::objectsDidChange(
        const LdNotification& notification) {
    if (disabled_) {
        return;
    }
    const auto* changes = std::any_cast<LdObjectsDidChange>(&notification.payload);
    if (changes == nullptr) {
        return;
    }
    if (suspendCounter_ > 0) {
        gather(*changes);
    } else {
        fanOut(*changes);
    }
    // Changes the observers just made are announced now rather than at the end of the task, up
    // to a fixed depth so that observers that keep changing each other cannot recurse forever.
    if (gNestedProcessingLevel.load() < kMaxNestedProcessingLevels) {
        ++gNestedProcessingLevel;
        context_.processPendingChanges();
    }
    gNestedProcessingLevel = 0;
}

void LdCManagedObjectsChangeNotificationManager::gather(const LdObjectsDidChange& changes) {
    for (LdManagedObject* object : changes.inserted) {
        insertedObjects_->add(object);
    }
    // Only this notification's own insertions are left out of the updates: an object inserted
    // by an earlier notification of the suspension and changed since is reported as both.
    const std::unordered_set<LdManagedObject*> ownInserted(changes.inserted.begin(),
                                                           changes.inserted.end());
    for (LdManagedObject* object : changes.updated) {
        if (ownInserted.count(object) == 0) {
            updatedObjects_->add(object);
        }
    }
    for (LdManagedObject* object : changes.deleted) {
        deletedObjects_->add(object);
        insertedObjects_->remove(object);
        updatedObjects_->remove(object);
    }
}

void LdCManagedObjectsChangeNotificationManager::fanOut(const LdObjectsDidChange& changes) {
    if (changes.empty()) {
        return;
    }
    // A copy, so that observers may register while they are called; those registered meanwhile
    // hear the next round, one registered again keeps the set it had when the round began, and
    // one that unregisters meanwhile is not called again.
    const std::vector<Registration> registrations = state_->registrations;
    for (const Registration& registration : registrations) {
        auto matching = [&registration](const std::vector<LdManagedObject*>& objects) {
            std::vector<LdManagedObject*> result;
            for (LdManagedObject* object : objects) {
                if (registration.entities.count(object->entity()) != 0) {
                    result.push_back(object);
                }
            }
            return result;
        };
        const std::vector<LdManagedObject*> inserted = matching(changes.inserted);
        const std::vector<LdManagedObject*> deleted = matching(changes.deleted);
        const std::vector<LdManagedObject*> updated = matching(changes.updated);
        // Fixed order: inserted, deleted, updated.
        if (!inserted.empty() && state_->isRegistered(registration.observer)) {
            registration.observer->managedObjectsInserted(inserted);
        }
        if (!deleted.empty() && state_->isRegistered(registration.observer)) {
            registration.observer->managedObjectsDeleted(deleted);
        }
        if (!updated.empty() && state_->isRegistered(registration.observer)) {
            registration.observer->managedObjectsUpdated(updated);
        }
    }
}
