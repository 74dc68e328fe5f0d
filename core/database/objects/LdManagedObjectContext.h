// LdManagedObjectContext: the objects of one store in memory — insertion, fetching (seeing
// unsaved changes), faulting, deletion with its rules, change tracking, notifications and saving.
//
// Decisions that every user of the object layer relies on:
// - Ownership. A context owns every object it has registered (inserted, fetched or faulted)
//   until it is destroyed; nothing is freed earlier. Deleted objects, objects whose insertion was
//   undone and refreshed objects stay valid: a deleted object keeps its last values for reading,
//   and a setter called on it asserts in debug builds and does nothing. Managers and observers
//   are destroyed before the context, the context before its store.
// - Identity. LdObjectID is a value (store identifier, entity, primary key). One identity map
//   per context: one row gives one object per context. An object takes its primary key from the
//   store's key counter (never rewound) when it is inserted: there are no temporary IDs. The text
//   form of an ID is "ldobj://<store identifier>/<Entity>/p<key>".
// - Values. An object keeps its values in slot arrays indexed through the entity's property
//   numbers, never in maps keyed by name. The committed values are copied aside only when an
//   object is first changed after a save; the changed values are the slots that differ.
// - Faulting. Objects returned by a fetch are filled from the fetch's own rows. An object reached
//   through a relationship is a fault, filled by one SELECT at its first attribute access; a
//   to-many relationship is loaded whole at first access. Accessors never report errors: when
//   filling fails, the object becomes inaccessible, its accessors return empty values, and the
//   context logs an LdError ("object not found" for a missing row) and keeps it as
//   lastFaultError().
// - Changes. Setters compare first; an equal value changes nothing. Inverse relationships are
//   updated at set time on both sides; a to-many side that is not loaded records the change and
//   applies it when it is loaded. processPendingChanges posts the objects-did-change notification
//   for the changes since the last one; save calls it first.
// - Fetches see unsaved changes. Let C be the objects of the request's entity (with its
//   subentities when included) that are inserted, updated or deleted in the context. The store's
//   SELECT runs with its limit raised by the size of C (an offset folded into the limit); rows
//   whose object is in C are dropped; the objects of C that are not deleted and match the
//   predicate in memory are added; the union is sorted in memory and cut to offset and limit. A
//   count is the SQL count, minus the SQL count restricted to the stored keys of C, plus the
//   in-memory matches in C. With C empty, the fetch is exactly the store's.
// - One meaning for predicates: the in-memory evaluator follows the SQL translation
//   (LdPredicateEvaluator).
// - Threads. A context belongs to one thread and is used only there; only object IDs and plain
//   values cross threads. The store serialises its calls itself.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/database/objects/LdManagedObject.h"
#include "core/database/objects/LdUndoManager.h"
#include "core/database/store/LdCryptStore.h"
#include "core/support/LdError.h"
#include "core/support/platform/LdSubscription.h"

// Name of the notification a context posts (object: the context) from processPendingChanges;
// its payload is an LdObjectsDidChange.
inline constexpr const char* kLdObjectsDidChangeNotification =
        "LdManagedObjectContextObjectsDidChangeNotification";
// Posted after a successful save (object: the context); payload LdObjectsDidChange with what
// the save wrote.
inline constexpr const char* kLdContextDidSaveNotification =
        "LdManagedObjectContextDidSaveNotification";

// The changes one notification reports, each object once, in the order of the changes.
struct LdObjectsDidChange {
    std::vector<LdManagedObject*> inserted;
    std::vector<LdManagedObject*> updated;
    std::vector<LdManagedObject*> deleted;
    bool empty() const { return inserted.empty() && updated.empty() && deleted.empty(); }
};

class LdMainQueue;

// Told by entities that log their deletion, just before they are deleted, so that the session can
// record the deletion for sync (the context's deletion logger; the session implements it).
class LdDeletionLogger {
public:
    virtual ~LdDeletionLogger() = default;
    // logDeleteOfManagedObjectWithSyncID:ofKind: — `kind` is the entity's store name.
    virtual void logDeleteOfManagedObjectWithSyncID(const std::string& syncID,
                                                    const std::string& kind) = 0;
};

class LdManagedObjectContext {
public:
    // Makes the object of an entity class; registered per class name by the entity classes.
    using ObjectFactory = std::function<std::unique_ptr<LdManagedObject>()>;

    // A context over a loaded store. The store outlives the context.
    explicit LdManagedObjectContext(LdCryptStore& store);
    ~LdManagedObjectContext();
    LdManagedObjectContext(const LdManagedObjectContext&) = delete;
    LdManagedObjectContext& operator=(const LdManagedObjectContext&) = delete;

    LdCryptStore& store() const { return store_; }

    // Registers the class that represents objects of entities with this class name.
    static void registerObjectFactory(const std::string& className, ObjectFactory factory);

    // insertNewObjectForEntityForName:inManagedObjectContext:
    // A new object with its attributes' default values and a permanent ID; an entity with the
    // sync pair gets a fresh "syncUniqueID" (LdUUID) and "syncChangeDate" (LdClock's now) as
    // part of its first values, then awakeFromInsert runs. nullptr for an unknown or abstract
    // entity, or when the store cannot hand out a key (logged).
    LdManagedObject* insertNewObjectForEntityForName(std::string_view entityName);
    template <typename T>
    T* insertNewObject(std::string_view entityName) {
        return dynamic_cast<T*>(insertNewObjectForEntityForName(entityName));
    }

    // objectWithID: — the registered object, or a new fault for it (not checked against the
    // file: a missing row shows when the fault is filled). nullptr for an ID of another store.
    LdManagedObject* objectWithID(const LdObjectID& objectID);
    // existingObjectWithID:error: — the object with its values, or nullptr and an error when the
    // row does not exist.
    LdManagedObject* existingObjectWithID(const LdObjectID& objectID, LdError* error = nullptr);
    // objectRegisteredForID: — nullptr when the context has no object for the ID.
    LdManagedObject* objectRegisteredForID(const LdObjectID& objectID) const;

    // executeFetchRequest:error: — the matching objects (object and ID result types), seeing
    // unsaved changes.
    std::optional<std::vector<LdManagedObject*>> executeFetchRequest(const LdFetchRequest& request,
                                                                     LdError* error = nullptr);
    // countForFetchRequest:error:
    std::optional<std::size_t> countForFetchRequest(const LdFetchRequest& request,
                                                    LdError* error = nullptr);

    // deleteObject: — runs prepareForDeletion, the deletion logger and the delete rules
    // (nullify, cascade; a deny rule with targets refuses the deletion with an error). Deleting a
    // new object takes it out of the inserted objects.
    bool deleteObject(LdManagedObject* object, LdError* error = nullptr);

    bool hasChanges() const;
    std::vector<LdManagedObject*> insertedObjects() const;
    std::vector<LdManagedObject*> updatedObjects() const;
    std::vector<LdManagedObject*> deletedObjects() const;
    // Every object the context holds.
    std::size_t registeredObjectCount() const { return objects_.size(); }

    // save: — processPendingChanges, willSave, one store save of every change, didSave, then the
    // did-save notification. On failure nothing in memory changes and the error is returned.
    bool save(LdError* error = nullptr);

    // refreshObject:mergeChanges: — without merging, drops the object's unsaved changes and turns
    // it back into a fault; with merging (and for a new object), keeps its changes and re-reads
    // nothing. Either way the object's didRefresh drops its caches first.
    void refreshObject(LdManagedObject* object, bool mergeChanges);

    // processPendingChanges — posts kLdObjectsDidChangeNotification for the changes since the
    // last call, if any.
    void processPendingChanges();

    // The error of the last fault that could not be filled.
    const std::optional<LdError>& lastFaultError() const { return lastFaultError_; }

    // setMainQueue: — the queue this context belongs to: after every task of it the context
    // processes its pending changes, and its undo groups close with the task. nullptr: changes
    // are announced by explicit processPendingChanges and save only.
    void setMainQueue(LdMainQueue* queue);

    // The undo manager, or nullptr when undo is off for this context (on from creation).
    LdUndoManager* undoManager() const { return undoManager_.get(); }
    void setUndoEnabled(bool enabled);

    void setDeletionLogger(LdDeletionLogger* logger) { deletionLogger_ = logger; }
    LdDeletionLogger* deletionLogger() const { return deletionLogger_; }

    // The text form of an object ID and its reverse (nullptr for a text of another store or
    // entity, or a malformed one).
    static std::string stringForObjectID(const LdObjectID& objectID);
    LdManagedObject* objectForURIRepresentation(std::string_view text);

private:
    friend class LdManagedObject;
    friend class LdUndoManager;

    void recordChange(LdUndoChange change) {
        if (undoManager_) {
            undoManager_->registerChange(std::move(change));
        }
    }
    // Undoes one recorded change as an ordinary change, without inverse maintenance (the other
    // side was recorded too).
    void replayChange(const LdUndoChange& change);
    void setObjectDeleted(LdManagedObject& object, bool deleted);
    LdManagedObject* registerObject(const LdObjectID& objectID, bool fault);
    // Fills a fault from the store; marks the object inaccessible on failure.
    void fillFault(LdManagedObject& object);
    void fillFromNode(LdManagedObject& object, LdStoreNode node);
    // Loads a relationship slot of a stored object from the store.
    void loadRelation(LdManagedObject& object, std::size_t number);
    void faultFailed(LdManagedObject& object, LdError error);
    // Change tracking.
    void objectDidChange(LdManagedObject& object);
    bool deleteWithRules(LdManagedObject* object, LdError* error);
    // The objects of C for a request (see the header comment).
    std::vector<LdManagedObject*> changedObjectsForRequest(const LdFetchRequest& request) const;
    bool matches(const LdFetchRequest& request, const LdManagedObject& object) const;
    LdStoreRow rowForObject(LdManagedObject& object, bool onlyChanged);

    LdCryptStore& store_;
    std::uint32_t storeNumber_;  // interned identifier of the store's objects
    std::unordered_map<LdObjectID, std::unique_ptr<LdManagedObject>> objects_;
    // Objects with changes since the last save, in the order of their first change.
    std::vector<LdManagedObject*> changedObjects_;
    // Changes since the last processPendingChanges.
    LdObjectsDidChange pending_;
    std::optional<LdError> lastFaultError_;
    LdDeletionLogger* deletionLogger_ = nullptr;
    std::unique_ptr<LdUndoManager> undoManager_;
    LdMainQueue* queue_ = nullptr;
    LdSubscription taskEndSubscription_;
    bool saving_ = false;
};
