// LdUndoManager: groups of primitive changes, replayed backwards for undo and forwards for redo.
#include "core/database/objects/LdUndoManager.h"

#include <algorithm>
#include <vector>

#include "core/database/objects/LdManagedObjectContext.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/queues/LdMainQueue.h"

LdUndoManager::~LdUndoManager() = default;

void LdUndoManager::beginUndoGrouping() {
    if (level_ == 0) {
        open_.clear();
    }
    ++level_;
}

void LdUndoManager::endUndoGrouping() {
    if (level_ == 0) {
        return;
    }
    if (--level_ == 0) {
        automaticOpen_ = false;
        if (!open_.empty()) {
            undoStack_.push_back(std::move(open_));
            open_.clear();
        }
    }
}

void LdUndoManager::closeAutomaticGroup() {
    if (automaticOpen_ && level_ == 1) {
        endUndoGrouping();
    }
}

bool LdUndoManager::canUndo() const {
    return !undoStack_.empty() || !open_.empty();
}

void LdUndoManager::registerChange(LdUndoChange change) {
    if (disabled_ > 0) {
        return;
    }
    if (mode_ != Mode::Normal) {
        replayed_.push_back(std::move(change));
        return;
    }
    redoStack_.clear();
    if (level_ == 0) {
        if (!groupsByEvent_) {
            return;  // nothing records outside an explicit group
        }
        beginUndoGrouping();
        automaticOpen_ = true;
        const std::uint64_t generation = ++*generation_;
        if (queue_ != nullptr) {
            std::weak_ptr<std::uint64_t> alive = generation_;
            queue_->post([this, alive, generation] {
                auto counter = alive.lock();
                if (counter && *counter == generation) {
                    closeAutomaticGroup();
                }
            });
        }
    }
    open_.push_back(std::move(change));
}

void LdUndoManager::removeAllActions() {
    undoStack_.clear();
    redoStack_.clear();
    open_.clear();
    level_ = 0;
    automaticOpen_ = false;
    ++*generation_;
}

void LdUndoManager::undo() {
    closeAutomaticGroup();
    if (level_ > 0 || undoStack_.empty() || mode_ != Mode::Normal) {
        return;
    }
    Group group = std::move(undoStack_.back());
    undoStack_.pop_back();
    LdNotificationCenter& center = LdNotificationCenter::defaultCenter();
    center.postNotificationName(kLdUndoManagerWillUndoNotification, &context_);
    mode_ = Mode::Undoing;
    replay(std::move(group), /*backwards=*/true);
    mode_ = Mode::Normal;
    if (!replayed_.empty()) {
        redoStack_.push_back(std::move(replayed_));
    }
    replayed_.clear();
    context_.processPendingChanges();
    center.postNotificationName(kLdUndoManagerDidUndoNotification, &context_);
}

void LdUndoManager::redo() {
    closeAutomaticGroup();
    if (level_ > 0 || redoStack_.empty() || mode_ != Mode::Normal) {
        return;
    }
    Group group = std::move(redoStack_.back());
    redoStack_.pop_back();
    LdNotificationCenter& center = LdNotificationCenter::defaultCenter();
    center.postNotificationName(kLdUndoManagerWillRedoNotification, &context_);
    mode_ = Mode::Redoing;
    // The redo group holds the undo's own records, newest last: replaying them backwards
    // reverses the undo.
    replay(std::move(group), /*backwards=*/true);
    mode_ = Mode::Normal;
    if (!replayed_.empty()) {
        undoStack_.push_back(std::move(replayed_));
    }
    replayed_.clear();
    context_.processPendingChanges();
    center.postNotificationName(kLdUndoManagerDidRedoNotification, &context_);
}

void LdUndoManager::replay(Group group, bool backwards) {
    if (backwards) {
        std::reverse(group.begin(), group.end());
    }
    std::vector<LdManagedObject*> touched;
    for (const LdUndoChange& change : group) {
        context_.replayChange(change);
        if (std::find(touched.begin(), touched.end(), change.object) == touched.end()) {
            touched.push_back(change.object);
        }
    }
    // Values were replaced behind the objects' backs: their caches go.
    for (LdManagedObject* object : touched) {
        object->didRefresh();
    }
}
