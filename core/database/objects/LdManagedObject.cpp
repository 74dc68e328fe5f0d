// LdManagedObject: slot access, fault filling on first read, change tracking and inverse
// maintenance.
#include "core/database/objects/LdManagedObject.h"

#include <algorithm>
#include <cassert>
#include <cstdint>

#include "core/database/objects/LdManagedObjectContext.h"

namespace {

const LdValue& nullValue() {
    static const LdValue kNull;
    return kNull;
}

const std::vector<LdManagedObject*>& noObjects() {
    static const std::vector<LdManagedObject*> kNone;
    return kNone;
}

bool contains(const std::vector<LdManagedObject*>& list, const LdManagedObject* object) {
    return std::find(list.begin(), list.end(), object) != list.end();
}

}  // namespace

LdManagedObject::LdManagedObject() = default;
LdManagedObject::~LdManagedObject() = default;

void LdManagedObject::attach(LdManagedObjectContext* context,
                             const LdEntityDescription* entity,
                             const LdObjectID& objectID) {
    context_ = context;
    entity_ = entity;
    objectID_ = objectID;
    relations_.resize(entity->relationships().size());
    for (std::size_t index = 0; index < relations_.size(); ++index) {
        if (entity->relationships()[index]->isToMany()) {
            relations_[index].many = std::make_unique<ToMany>();
        }
    }
}

void LdManagedObject::ensureFilled() const {
    if (fault_ && context_ != nullptr) {
        context_->fillFault(const_cast<LdManagedObject&>(*this));
    }
}

void LdManagedObject::logDeletion() const {
    LdDeletionLogger* logger = context_ != nullptr ? context_->deletionLogger() : nullptr;
    if (logger == nullptr) {
        return;
    }
    if (std::optional<std::string> kind = deletionLogKind()) {
        logger->logDeleteOfManagedObjectWithSyncID(valueForKey("syncUniqueID").stringValue(),
                                                   *kind);
    }
}

const LdValue& LdManagedObject::valueAt(std::size_t number) const {
    if (entity_ == nullptr || number >= entity_->propertyCount() ||
        !entity_->properties()[number]->isAttribute()) {
        return nullValue();
    }
    ensureFilled();
    const std::size_t index = entity_->kindIndex(number);
    return index < values_.size() ? values_[index] : nullValue();
}

bool LdManagedObject::canChange() const {
    assert(!deleted_ && "a deleted object cannot be changed");
    return !deleted_ && context_ != nullptr;
}

void LdManagedObject::willChange(std::size_t number) {
    // A fault changed first through a relationship must hold its values before they are copied
    // aside as the committed ones.
    ensureFilled();
    if (!committed_ && !inserted_) {
        committed_ = std::make_unique<std::vector<LdValue>>(values_);
    }
    if (changedMask_.size() < entity_->propertyCount()) {
        changedMask_.resize(entity_->propertyCount());
    }
    changedMask_[number] = true;
    changed_ = true;
    context_->objectDidChange(*this);
}

void LdManagedObject::setValueAt(std::size_t number, LdValue value) {
    if (entity_ == nullptr || number >= entity_->propertyCount() ||
        !entity_->properties()[number]->isAttribute() || !canChange()) {
        return;
    }
    ensureFilled();
    const std::size_t index = entity_->kindIndex(number);
    if (index >= values_.size() || values_[index] == value) {
        return;
    }
    willChange(number);
    context_->recordChange({.kind = LdUndoChange::Kind::Attribute,
                            .object = this,
                            .number = number,
                            .oldValue = values_[index],
                            .newValue = value});
    values_[index] = std::move(value);
}

LdManagedObject::Relation& LdManagedObject::relation(std::size_t number) const {
    return relations_[entity_->kindIndex(number)];
}

LdManagedObject::Relation& LdManagedObject::loadedRelation(std::size_t number) const {
    Relation& slot = relation(number);
    if (!slot.loaded && context_ != nullptr) {
        context_->loadRelation(const_cast<LdManagedObject&>(*this), number);
    }
    return slot;
}

LdManagedObject* LdManagedObject::objectAt(std::size_t number) const {
    if (entity_ == nullptr || number >= entity_->propertyCount()) {
        return nullptr;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToMany()) {
        return nullptr;
    }
    return loadedRelation(number).target;
}

const std::vector<LdManagedObject*>& LdManagedObject::objectsAt(std::size_t number) const {
    if (entity_ == nullptr || number >= entity_->propertyCount()) {
        return noObjects();
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToOne()) {
        return noObjects();
    }
    return loadedRelation(number).many->targets;
}

void LdManagedObject::linkToOne(std::size_t number, LdManagedObject* target) {
    Relation& slot = loadedRelation(number);
    if (slot.target == target) {
        return;
    }
    willChange(number);
    context_->recordChange({.kind = LdUndoChange::Kind::ToOne,
                            .object = this,
                            .number = number,
                            .oldTarget = slot.target,
                            .newTarget = target});
    slot.target = target;
}

void LdManagedObject::linkToMany(std::size_t number, LdManagedObject* target, bool add) {
    Relation& slot = relation(number);
    ToMany& many = *slot.many;
    if (slot.loaded) {
        auto found = std::find(many.targets.begin(), many.targets.end(), target);
        if ((found != many.targets.end()) == add) {
            return;
        }
        willChange(number);
        context_->recordChange(
                {.kind = add ? LdUndoChange::Kind::ToManyAdd : LdUndoChange::Kind::ToManyRemove,
                 .object = this,
                 .number = number,
                 .target = target,
                 .index = add ? many.targets.size()
                              : static_cast<std::size_t>(found - many.targets.begin())});
        if (add) {
            many.targets.push_back(target);
        } else {
            many.targets.erase(found);
        }
        return;
    }
    // Not loaded yet: remember the change for the load.
    willChange(number);
    context_->recordChange(
            {.kind = add ? LdUndoChange::Kind::ToManyAdd : LdUndoChange::Kind::ToManyRemove,
             .object = this,
             .number = number,
             .target = target,
             .index = SIZE_MAX});
    if (add) {
        std::erase(many.removed, target);
        if (!contains(many.added, target)) {
            many.added.push_back(target);
        }
    } else {
        std::erase(many.added, target);
        if (!contains(many.removed, target)) {
            many.removed.push_back(target);
        }
    }
}

void LdManagedObject::linkInverse(const LdRelationshipDescription* relationship,
                                  LdManagedObject* target,
                                  bool add) {
    const LdRelationshipDescription* inverse = relationship->inverseRelationship();
    if (target == nullptr || inverse == nullptr || target->deleted_) {
        return;
    }
    const std::size_t number = inverse->propertyNumber();
    if (inverse->isToMany()) {
        target->linkToMany(number, this, add);
        return;
    }
    if (add) {
        // The target leaves its previous owner first.
        LdManagedObject* previous = target->loadedRelation(number).target;
        if (previous != nullptr && previous != this && !previous->deleted_) {
            if (relationship->isToMany()) {
                previous->linkToMany(relationship->propertyNumber(), target, false);
            } else {
                previous->linkToOne(relationship->propertyNumber(), nullptr);
            }
        }
        target->linkToOne(number, this);
    } else if (target->loadedRelation(number).target == this) {
        target->linkToOne(number, nullptr);
    }
}

void LdManagedObject::setObjectAt(std::size_t number, LdManagedObject* target) {
    if (entity_ == nullptr || number >= entity_->propertyCount() || !canChange()) {
        return;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToMany() ||
        (target != nullptr &&
         (target->context_ != context_ ||
          !target->entity_->isKindOfEntity(relationship->destinationEntity())))) {
        assert(target == nullptr || target->context_ == context_);
        return;
    }
    LdManagedObject* previous = loadedRelation(number).target;
    if (previous == target) {
        return;
    }
    linkToOne(number, target);
    if (previous != nullptr) {
        linkInverse(relationship, previous, false);
    }
    if (target != nullptr) {
        linkInverse(relationship, target, true);
    }
}

void LdManagedObject::addObjectAt(std::size_t number, LdManagedObject* target) {
    if (entity_ == nullptr || number >= entity_->propertyCount() || target == nullptr ||
        !canChange()) {
        return;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToOne() || target->context_ != context_ ||
        !target->entity_->isKindOfEntity(relationship->destinationEntity())) {
        return;
    }
    if (contains(loadedRelation(number).many->targets, target)) {
        return;
    }
    linkToMany(number, target, true);
    linkInverse(relationship, target, true);
}

void LdManagedObject::removeObjectAt(std::size_t number, LdManagedObject* target) {
    if (entity_ == nullptr || number >= entity_->propertyCount() || target == nullptr ||
        !canChange()) {
        return;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToOne()) {
        return;
    }
    if (!contains(loadedRelation(number).many->targets, target)) {
        return;
    }
    linkToMany(number, target, false);
    linkInverse(relationship, target, false);
}

void LdManagedObject::insertObjectAt(std::size_t number,
                                     LdManagedObject* target,
                                     std::size_t index) {
    if (entity_ == nullptr || number >= entity_->propertyCount() || target == nullptr ||
        !canChange()) {
        return;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToOne()) {
        return;
    }
    addObjectAt(number, target);
    moveTarget(number, target, index);
}

void LdManagedObject::moveTarget(std::size_t number, LdManagedObject* target, std::size_t index) {
    Relation& slot = relation(number);
    if (!slot.loaded || index == SIZE_MAX) {
        return;
    }
    std::vector<LdManagedObject*>& targets = slot.many->targets;
    auto found = std::find(targets.begin(), targets.end(), target);
    if (found == targets.end()) {
        return;
    }
    const auto position = static_cast<std::size_t>(found - targets.begin());
    const std::size_t wanted = std::min(index, targets.size() - 1);
    if (position == wanted) {
        return;
    }
    willChange(number);
    context_->recordChange({.kind = LdUndoChange::Kind::ToManyMove,
                            .object = this,
                            .number = number,
                            .target = target,
                            .index = position,
                            .newIndex = wanted});
    targets.erase(found);
    targets.insert(targets.begin() + static_cast<std::ptrdiff_t>(wanted), target);
}

void LdManagedObject::setObjectsAt(std::size_t number, std::vector<LdManagedObject*> targets) {
    if (entity_ == nullptr || number >= entity_->propertyCount() || !canChange()) {
        return;
    }
    const LdRelationshipDescription* relationship = entity_->properties()[number]->asRelationship();
    if (relationship == nullptr || relationship->isToOne()) {
        return;
    }
    const std::vector<LdManagedObject*> current = loadedRelation(number).many->targets;
    for (LdManagedObject* old : current) {
        if (!contains(targets, old)) {
            removeObjectAt(number, old);
        }
    }
    std::size_t index = 0;
    for (LdManagedObject* target : targets) {
        if (target == nullptr ||
            contains(std::vector<LdManagedObject*>(
                             targets.begin(), targets.begin() + static_cast<std::ptrdiff_t>(index)),
                     target)) {
            continue;
        }
        if (relationship->isOrdered()) {
            insertObjectAt(number, target, index);
        } else {
            addObjectAt(number, target);
        }
        ++index;
    }
}

LdValue LdManagedObject::valueForKey(std::string_view key) const {
    const LdAttributeDescription* attribute =
            entity_ != nullptr ? entity_->attributeNamed(key) : nullptr;
    return attribute != nullptr ? valueAt(attribute->propertyNumber()) : LdValue();
}

void LdManagedObject::setValueForKey(LdValue value, std::string_view key) {
    if (const LdAttributeDescription* attribute =
                entity_ != nullptr ? entity_->attributeNamed(key) : nullptr) {
        setValueAt(attribute->propertyNumber(), std::move(value));
    }
}

LdManagedObject* LdManagedObject::objectForKey(std::string_view key) const {
    const LdRelationshipDescription* relationship =
            entity_ != nullptr ? entity_->relationshipNamed(key) : nullptr;
    return relationship != nullptr ? objectAt(relationship->propertyNumber()) : nullptr;
}

void LdManagedObject::setObjectForKey(LdManagedObject* target, std::string_view key) {
    if (const LdRelationshipDescription* relationship =
                entity_ != nullptr ? entity_->relationshipNamed(key) : nullptr) {
        setObjectAt(relationship->propertyNumber(), target);
    }
}

std::vector<LdManagedObject*> LdManagedObject::objectsForKey(std::string_view key) const {
    const LdRelationshipDescription* relationship =
            entity_ != nullptr ? entity_->relationshipNamed(key) : nullptr;
    return relationship != nullptr ? objectsAt(relationship->propertyNumber())
                                   : std::vector<LdManagedObject*>();
}

std::vector<std::size_t> LdManagedObject::changedPropertyNumbers() const {
    std::vector<std::size_t> numbers;
    for (std::size_t number = 0; number < changedMask_.size(); ++number) {
        if (!changedMask_[number]) {
            continue;
        }
        const LdPropertyDescription* property = entity_->properties()[number];
        if (property->isAttribute() && committed_ && !inserted_) {
            const std::size_t index = entity_->kindIndex(number);
            if ((*committed_)[index] == values_[index]) {
                continue;  // set back to the committed value
            }
        }
        numbers.push_back(number);
    }
    return numbers;
}

const LdValue& LdManagedObject::committedValueAt(std::size_t number) const {
    if (committed_ && number < entity_->propertyCount() &&
        entity_->properties()[number]->isAttribute()) {
        return (*committed_)[entity_->kindIndex(number)];
    }
    return valueAt(number);
}

LdValue LdManagedObject::evaluatedAttributeValue(const LdAttributeDescription* attribute) const {
    return attribute != nullptr ? valueAt(attribute->propertyNumber()) : LdValue();
}

const LdEvaluatedObject* LdManagedObject::evaluatedTarget(
        const LdRelationshipDescription* relationship) const {
    return relationship != nullptr ? objectAt(relationship->propertyNumber()) : nullptr;
}

std::vector<const LdEvaluatedObject*> LdManagedObject::evaluatedTargets(
        const LdRelationshipDescription* relationship) const {
    std::vector<const LdEvaluatedObject*> targets;
    if (relationship != nullptr) {
        for (LdManagedObject* target : objectsAt(relationship->propertyNumber())) {
            targets.push_back(target);
        }
    }
    return targets;
}
