// LdCManagedObjectsChangeNotificationManager: hands the changes an object context announces to
// the domain managers, each seeing only the objects of the entity classes it registered for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/support/platform/LdSubscription.h"

class LdEntityDescription;
class LdManagedObject;
class LdManagedObjectContext;
struct LdObjectsDidChange;
struct LdNotification;

// Told about inserted, deleted and updated objects of the classes it registered for. Each call
// gets a non-empty list, in the order the context reported the changes; the objects belong to
// the context.
class LdCManagedObjectsObserver {
public:
    virtual ~LdCManagedObjectsObserver() = default;
    // managedObjectsInserted:
    virtual void managedObjectsInserted(const std::vector<LdManagedObject*>& /*objects*/) {}
    // managedObjectsDeleted:
    virtual void managedObjectsDeleted(const std::vector<LdManagedObject*>& /*objects*/) {}
    // managedObjectsUpdated:
    virtual void managedObjectsUpdated(const std::vector<LdManagedObject*>& /*objects*/) {}
};

// Listens to the objects-did-change notifications of one context and fans them out to its
// observers. Matching is by exact class: an observer of LdCDEntry hears nothing of an
// LdCDPrebookedOnlineEntry. Notifications can be switched off (dropped) or suspended (gathered and
// announced once, combined, when the last suspension ends). After each notification it asks the
// context to process the changes the observers made, so that they are announced at once; these
// nested rounds are limited process-wide to kMaxNestedProcessingLevels.
//
// The session owns it; the context outlives it. Main thread only (the context's thread).
class LdCManagedObjectsChangeNotificationManager {
public:
    static constexpr int kMaxNestedProcessingLevels = 9;

    // initWithOpenDatabaseManager: — the session hands over its context.
    explicit LdCManagedObjectsChangeNotificationManager(LdManagedObjectContext& context);
    ~LdCManagedObjectsChangeNotificationManager();
    LdCManagedObjectsChangeNotificationManager(const LdCManagedObjectsChangeNotificationManager&) =
            delete;
    LdCManagedObjectsChangeNotificationManager& operator=(
            const LdCManagedObjectsChangeNotificationManager&) = delete;

    // registerObserver:forManagedObjectsOfClass:
    // Registers `observer` for objects whose entity is exactly one of `entities`; the observer
    // hears from this manager while the returned subscription lives. Registering an observer
    // again replaces its set and keeps its place in the order; the earlier subscription then
    // unregisters nothing. A missing observer registers nothing (empty subscription).
    [[nodiscard]] LdSubscription registerObserver(
            LdCManagedObjectsObserver* observer,
            const std::vector<const LdEntityDescription*>& entities);
    // The same with class names ("LdCDEntry"); names no entity of the context's model carries are
    // ignored.
    [[nodiscard]] LdSubscription registerObserver(LdCManagedObjectsObserver* observer,
                                                  const std::vector<std::string>& classNames);

    // disableNotifications / enableNotifications — while disabled, notifications are dropped.
    void disableNotifications() { disabled_ = true; }
    void enableNotifications() { disabled_ = false; }
    bool notificationsDisabled() const { return disabled_; }

    // beginSuspendNotifications / endSuspendNotifications — nestable; the end of the outermost
    // suspension announces everything gathered meanwhile in one round.
    void beginSuspendNotifications();
    void endSuspendNotifications();
    bool isSuspended() const { return suspendCounter_ > 0; }

    // The number of registered observers (tests, diagnostics).
    std::size_t observerCount() const;

private:
    struct Registration;
    struct State;
    class ObjectSet;

    void objectsDidChange(const LdNotification& notification);
    void gather(const LdObjectsDidChange& changes);
    void fanOut(const LdObjectsDidChange& changes);

    LdManagedObjectContext& context_;  // outlives this manager
    std::shared_ptr<State> state_;     // the observers; shared with the subscriptions' cancels
    LdSubscription contextSubscription_;
    std::uint32_t suspendCounter_ = 0;
    bool disabled_ = false;
    std::unique_ptr<ObjectSet> insertedObjects_;
    std::unique_ptr<ObjectSet> updatedObjects_;
    std::unique_ptr<ObjectSet> deletedObjects_;
};
