// LdManagedObject: one object of a context — its identity, its values in slots by property
// number, and its relationships, kept consistent with their inverses.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/database/model/LdEntityDescription.h"
#include "core/database/model/LdObjectID.h"
#include "core/database/objects/LdEvaluatedObject.h"
#include "core/support/foundation/LdValue.h"

class LdManagedObjectContext;

// Entity classes (LdCDEntry, …) derive from this class and add typed accessors that call the
// slot accessors below with their property numbers. Objects are made and owned by a context
// (insertNewObjectForEntityForName, fetches, objectWithID) and live as long as it.
//
// Reading never fails: a fault is filled on first access; when filling fails the object becomes
// inaccessible, reads answer null values and no targets, and the context keeps the error.
// Setters compare first: an equal value changes nothing. Setting a relationship updates the
// inverse on the other side at once. Setters on a deleted object change nothing (and assert in
// debug builds).
class LdManagedObject : public LdEvaluatedObject {
public:
    LdManagedObject();
    ~LdManagedObject() override;
    LdManagedObject(const LdManagedObject&) = delete;
    LdManagedObject& operator=(const LdManagedObject&) = delete;

    const LdEntityDescription* entity() const { return entity_; }
    const LdObjectID& objectID() const { return objectID_; }
    LdManagedObjectContext* managedObjectContext() const { return context_; }

    // Inserted since the last save (and not deleted again).
    bool isInserted() const { return inserted_ && !deleted_; }
    // Stored, changed since the last save and not deleted.
    bool isUpdated() const { return !inserted_ && !deleted_ && changed_; }
    // Deleted since the last save (a stored object), or deleted and saved.
    bool isDeleted() const { return deleted_; }
    // Values not read yet.
    bool isFault() const { return fault_; }
    bool hasChanges() const { return inserted_ || deleted_ || changed_; }
    // Filling the fault failed; see LdManagedObjectContext::lastFaultError.
    bool isInaccessible() const { return inaccessible_; }
    // The stored row version the values were read with (0 for a new object).
    std::uint64_t version() const { return version_; }

    // Attributes by property number.
    const LdValue& valueAt(std::size_t number) const;
    void setValueAt(std::size_t number, LdValue value);
    // To-one relationships by property number.
    LdManagedObject* objectAt(std::size_t number) const;
    void setObjectAt(std::size_t number, LdManagedObject* target);
    // To-many relationships by property number, in order for ordered ones.
    const std::vector<LdManagedObject*>& objectsAt(std::size_t number) const;
    void setObjectsAt(std::size_t number, std::vector<LdManagedObject*> targets);
    void addObjectAt(std::size_t number, LdManagedObject* target);
    void removeObjectAt(std::size_t number, LdManagedObject* target);
    // Ordered to-many: inserts at `index` (clamped to the end); a target already related moves.
    void insertObjectAt(std::size_t number, LdManagedObject* target, std::size_t index);

    // The same by name; an unknown name or one of the other kind reads null / nothing and sets
    // nothing.
    LdValue valueForKey(std::string_view key) const;
    void setValueForKey(LdValue value, std::string_view key);
    LdManagedObject* objectForKey(std::string_view key) const;
    void setObjectForKey(LdManagedObject* target, std::string_view key);
    std::vector<LdManagedObject*> objectsForKey(std::string_view key) const;

    // The property numbers whose slots changed since the last save (attributes whose value
    // differs from the committed one, relationships that were set).
    std::vector<std::size_t> changedPropertyNumbers() const;
    // The attribute's value as of the last save (the current one when unchanged).
    const LdValue& committedValueAt(std::size_t number) const;

    // Hooks for entity classes.
    // awakeFromInsert — once, when the object is inserted.
    virtual void awakeFromInsert() {}
    // awakeFromFetch — when the values of a stored object were read.
    virtual void awakeFromFetch() {}
    // prepareForDeletion — before the delete rules run.
    virtual void prepareForDeletion() {}
    // willSave / didSave — around a save that includes this object.
    virtual void willSave() {}
    virtual void didSave() {}
    // didRefresh — when the context turns the object back into a fault (refreshObject) or undo,
    // redo or a reload replaced its values: caches derived from the values are dropped here.
    // Called before the slots are emptied, so the object can still reach what it relates to.
    virtual void didRefresh() {}
    // The kind under which the deletion of this object is logged for sync, or nothing when its
    // entity does not log deletions (the generated classes say which do). Read by logDeletion.
    virtual std::optional<std::string> deletionLogKind() const { return std::nullopt; }

    // LdEvaluatedObject
    const LdEntityDescription* evaluatedEntity() const override { return entity_; }
    LdObjectID evaluatedObjectID() const override { return objectID_; }
    LdValue evaluatedAttributeValue(const LdAttributeDescription* attribute) const override;
    const LdEvaluatedObject* evaluatedTarget(
            const LdRelationshipDescription* relationship) const override;
    std::vector<const LdEvaluatedObject*> evaluatedTargets(
            const LdRelationshipDescription* relationship) const override;

private:
    friend class LdManagedObjectContext;
    friend class LdUndoManager;

    // The targets of a to-many slot. While it is not loaded it keeps the changes made to it
    // meanwhile (inverse maintenance) and applies them when it is loaded.
    struct ToMany {
        std::vector<LdManagedObject*> targets;
        std::vector<LdManagedObject*> added;
        std::vector<LdManagedObject*> removed;
    };
    // One relationship slot.
    struct Relation {
        LdManagedObject* target = nullptr;
        std::unique_ptr<ToMany> many;
        bool loaded = false;
    };

    void attach(LdManagedObjectContext* context,
                const LdEntityDescription* entity,
                const LdObjectID& objectID);
    void ensureFilled() const;
    // Tells the context's deletion logger, when it has one, that this object is about to be
    // deleted: its "syncUniqueID" and deletionLogKind(). Nothing for entities that log nothing.
    void logDeletion() const;
    Relation& relation(std::size_t number) const;
    Relation& loadedRelation(std::size_t number) const;
    bool canChange() const;
    void willChange(std::size_t number);
    // Primitive relationship edits without inverse maintenance.
    void linkToOne(std::size_t number, LdManagedObject* target);
    void linkToMany(std::size_t number, LdManagedObject* target, bool add);
    // Moves a target of a loaded ordered to-many to `index` (clamped), recorded for undo.
    void moveTarget(std::size_t number, LdManagedObject* target, std::size_t index);
    // Inverse maintenance: makes `target`'s inverse of `relationship` point at (or away from) this.
    void linkInverse(const LdRelationshipDescription* relationship,
                     LdManagedObject* target,
                     bool add);

    LdManagedObjectContext* context_ = nullptr;
    const LdEntityDescription* entity_ = nullptr;
    LdObjectID objectID_;
    std::uint64_t version_ = 0;
    bool inserted_ = false;
    bool deleted_ = false;
    bool changed_ = false;
    mutable bool fault_ = true;
    mutable bool inaccessible_ = false;
    bool stored_ = true;                       // the file has a row for it
    bool tracked_ = false;                     // in the context's list of changed objects
    unsigned pendingFlags_ = 0;                // already reported in the pending notification
    mutable std::vector<LdValue> values_;      // by attribute index (kindIndex)
    mutable std::vector<Relation> relations_;  // by relationship index (kindIndex)
    std::vector<bool> changedMask_;            // by property number
    std::unique_ptr<std::vector<LdValue>> committed_;  // values as of the last save, once changed
};
