// LdUndoManager (LdCManagedObjectContextUndoManager): the undo and redo stacks of one context —
// every primitive change recorded in groups, replayed backwards as ordinary changes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/support/foundation/LdValue.h"

class LdMainQueue;
class LdManagedObject;
class LdManagedObjectContext;

// Posted around undo and redo (object: the context), with the context's pending changes processed
// between the work and the "did" notification.
inline constexpr const char* kLdUndoManagerWillUndoNotification =
        "LdCMocUndoManagerWillUndoNotification";
inline constexpr const char* kLdUndoManagerDidUndoNotification =
        "LdCMocUndoManagerDidUndoNotification";
inline constexpr const char* kLdUndoManagerWillRedoNotification =
        "LdCMocUndoManagerWillRedoNotification";
inline constexpr const char* kLdUndoManagerDidRedoNotification =
        "LdCMocUndoManagerDidRedoNotification";

// One primitive change of an object. Relationship changes are recorded on each side, so a replay
// needs no inverse maintenance.
struct LdUndoChange {
    enum class Kind {
        Attribute,     // `number` went from oldValue to newValue
        ToOne,         // `number` went from oldTarget to newTarget
        ToManyAdd,     // `target` was added to `number` (at `index` when ordered)
        ToManyRemove,  // `target` was removed from `number` (it was at `index`)
        ToManyMove,    // ordered `number`: `target` moved from `index` to `newIndex`
        Insert,        // the object was inserted
        Delete,        // the object was deleted
    };
    Kind kind = Kind::Attribute;
    LdManagedObject* object = nullptr;
    std::size_t number = 0;
    LdValue oldValue;
    LdValue newValue;
    LdManagedObject* oldTarget = nullptr;
    LdManagedObject* newTarget = nullptr;
    LdManagedObject* target = nullptr;
    std::size_t index = 0;
    std::size_t newIndex = 0;
};

// Owned by its context; used on the context's thread only.
//
// Grouping: with groupsByEvent (the default) the first change opens a group, and the group closes
// when the current task of the main queue ends (the manager posts the closing to the queue given
// by setMainQueue; without a queue the group stays open until undo, redo or an explicit close).
// beginUndoGrouping / endUndoGrouping make one step of several tasks and may nest.
class LdUndoManager {
public:
    explicit LdUndoManager(LdManagedObjectContext& context) : context_(context) {}
    LdUndoManager(const LdUndoManager&) = delete;
    LdUndoManager& operator=(const LdUndoManager&) = delete;
    ~LdUndoManager();

    void setMainQueue(LdMainQueue* queue) { queue_ = queue; }
    bool groupsByEvent() const { return groupsByEvent_; }
    void setGroupsByEvent(bool groups) { groupsByEvent_ = groups; }

    void beginUndoGrouping();
    void endUndoGrouping();
    // The nesting depth of open groups (an automatic group counts as one).
    std::size_t groupingLevel() const { return level_; }

    bool canUndo() const;
    bool canRedo() const { return !redoStack_.empty(); }
    // undo / redo — closes an open group first; replays the last group backwards.
    void undo();
    void redo();
    // removeAllActions — forgets both stacks (password changes, bulk work).
    void removeAllActions();

    // disableUndoRegistration / enableUndoRegistration — nest.
    void disableUndoRegistration() { ++disabled_; }
    void enableUndoRegistration() {
        if (disabled_ > 0) {
            --disabled_;
        }
    }
    bool isUndoRegistrationEnabled() const { return disabled_ == 0; }
    bool isUndoing() const { return mode_ == Mode::Undoing; }
    bool isRedoing() const { return mode_ == Mode::Redoing; }

    // Records one change (called by objects and the context).
    void registerChange(LdUndoChange change);

private:
    enum class Mode { Normal, Undoing, Redoing };
    using Group = std::vector<LdUndoChange>;

    void closeAutomaticGroup();
    void replay(Group group, bool backwards);

    LdManagedObjectContext& context_;
    LdMainQueue* queue_ = nullptr;
    bool groupsByEvent_ = true;
    std::size_t level_ = 0;
    bool automaticOpen_ = false;
    std::size_t disabled_ = 0;
    Mode mode_ = Mode::Normal;
    Group open_;      // changes of the open group
    Group replayed_;  // changes recorded while replaying
    std::vector<Group> undoStack_;
    std::vector<Group> redoStack_;
    // Counts automatic groups; a posted closing only closes the group it was posted for, and
    // holds the counter weakly so that it does nothing once the manager is gone.
    std::shared_ptr<std::uint64_t> generation_ = std::make_shared<std::uint64_t>(0);
};
