// LdManagedObjectContext: identity map, faulting, fetches over store rows and unsaved changes,
// deletion rules, change notifications and saving.
#include "core/database/objects/LdManagedObjectContext.h"

#include <algorithm>
#include <charconv>
#include <mutex>
#include <unordered_set>

#include "core/database/objects/LdPredicateEvaluator.h"
#include "core/database/objects/generated/LdEntityClasses.h"
#include "core/database/predicate/LdPredicateParser.h"
#include "core/support/LdLogger.h"
#include "core/support/platform/LdClock.h"
#include "core/support/platform/LdNotificationCenter.h"
#include "core/support/platform/LdUUID.h"
#include "core/support/queues/LdMainQueue.h"

namespace {

constexpr unsigned kPendingInserted = 1;
constexpr unsigned kPendingUpdated = 2;
constexpr unsigned kPendingDeleted = 4;

struct FactoryRegistry {
    std::mutex mutex;
    std::unordered_map<std::string, LdManagedObjectContext::ObjectFactory> factories;
};

FactoryRegistry& factoryRegistry() {
    static FactoryRegistry registry;
    return registry;
}

std::unique_ptr<LdManagedObject> makeObject(const LdEntityDescription* entity) {
    FactoryRegistry& registry = factoryRegistry();
    std::lock_guard lock(registry.mutex);
    // The class of the entity, else of its nearest superentity that has one.
    for (const LdEntityDescription* kind = entity; kind != nullptr; kind = kind->superentity()) {
        if (auto found = registry.factories.find(kind->className());
            found != registry.factories.end()) {
            return found->second();
        }
    }
    return std::make_unique<LdManagedObject>();
}

// The slot indexes of an entity's synchronisation pair ("syncUniqueID" text, "syncChangeDate"
// date), looked up once per entity; entity descriptions live as long as the process.
struct SyncSlots {
    std::optional<std::size_t> uniqueID;
    std::optional<std::size_t> changeDate;
};

SyncSlots syncSlotsOf(const LdEntityDescription* entity) {
    static std::mutex mutex;
    static std::unordered_map<const LdEntityDescription*, SyncSlots> known;
    std::lock_guard lock(mutex);
    if (auto found = known.find(entity); found != known.end()) {
        return found->second;
    }
    SyncSlots slots;
    const LdAttributeDescription* uniqueID = entity->attributeNamed("syncUniqueID");
    const LdAttributeDescription* changeDate = entity->attributeNamed("syncChangeDate");
    if (uniqueID != nullptr && uniqueID->attributeType() == LdAttributeType::String) {
        slots.uniqueID = entity->kindIndex(uniqueID->propertyNumber());
    }
    if (changeDate != nullptr && changeDate->attributeType() == LdAttributeType::Date) {
        slots.changeDate = entity->kindIndex(changeDate->propertyNumber());
    }
    known.emplace(entity, slots);
    return slots;
}

LdError contextError(const std::string& text) {
    return LdError::errorWithTitle(text, text);
}

}  // namespace

LdManagedObjectContext::LdManagedObjectContext(LdCryptStore& store)
    : store_(store),
      storeNumber_(LdObjectID::storeNumberForIdentifier(store.identifier())),
      undoManager_(std::make_unique<LdUndoManager>(*this)) {
    ldRegisterEntityClasses();
}

LdManagedObjectContext::~LdManagedObjectContext() = default;

void LdManagedObjectContext::registerObjectFactory(const std::string& className,
                                                   ObjectFactory factory) {
    FactoryRegistry& registry = factoryRegistry();
    std::lock_guard lock(registry.mutex);
    registry.factories[className] = std::move(factory);
}

LdManagedObject* LdManagedObjectContext::registerObject(const LdObjectID& objectID, bool fault) {
    std::unique_ptr<LdManagedObject> made = makeObject(objectID.entity());
    made->attach(this, objectID.entity(), objectID);
    made->fault_ = fault;
    LdManagedObject* object = made.get();
    objects_.emplace(objectID, std::move(made));
    return object;
}

LdManagedObject* LdManagedObjectContext::insertNewObjectForEntityForName(
        std::string_view entityName) {
    const LdEntityDescription* entity = store_.model().entityNamed(entityName);
    if (entity == nullptr || entity->isAbstract()) {
        return nullptr;
    }
    LdError error;
    std::optional<LdObjectID> objectID = store_.obtainPermanentIDForEntity(entity, &error);
    if (!objectID) {
        LdLogger::shared().addError(error);
        return nullptr;
    }
    LdManagedObject* object = registerObject(*objectID, /*fault=*/false);
    object->values_.reserve(entity->attributes().size());
    for (const LdAttributeDescription* attribute : entity->attributes()) {
        object->values_.push_back(attribute->defaultValue());
    }
    // A fresh sync identity, part of the inserted values: undoing the insertion and redoing it
    // keeps it, since replay never inserts anew.
    const SyncSlots sync = syncSlotsOf(entity);
    if (sync.uniqueID) {
        object->values_[*sync.uniqueID] = LdValue(LdUUID::uuidString());
    }
    if (sync.changeDate) {
        object->values_[*sync.changeDate] = LdValue(LdClock::shared().now());
    }
    for (LdManagedObject::Relation& relation : object->relations_) {
        relation.loaded = true;
    }
    object->inserted_ = true;
    object->stored_ = false;
    objectDidChange(*object);
    recordChange({.kind = LdUndoChange::Kind::Insert, .object = object});
    object->awakeFromInsert();
    return object;
}

LdManagedObject* LdManagedObjectContext::objectRegisteredForID(const LdObjectID& objectID) const {
    auto found = objects_.find(objectID);
    return found != objects_.end() ? found->second.get() : nullptr;
}

LdManagedObject* LdManagedObjectContext::objectWithID(const LdObjectID& objectID) {
    if (!objectID.isValid() || objectID.storeNumber() != storeNumber_) {
        return nullptr;
    }
    if (LdManagedObject* registered = objectRegisteredForID(objectID)) {
        return registered;
    }
    return registerObject(objectID, /*fault=*/true);
}

LdManagedObject* LdManagedObjectContext::existingObjectWithID(const LdObjectID& objectID,
                                                              LdError* error) {
    LdManagedObject* object = objectWithID(objectID);
    if (object == nullptr) {
        failWith(error, contextError("object not found"));
        return nullptr;
    }
    object->ensureFilled();
    if (object->inaccessible_) {
        failWith(error, lastFaultError_.value_or(contextError("object not found")));
        return nullptr;
    }
    return object;
}

void LdManagedObjectContext::fillFromNode(LdManagedObject& object, LdStoreNode node) {
    const LdEntityDescription* entity = object.entity_;
    object.values_.clear();
    object.values_.reserve(entity->attributes().size());
    for (const LdAttributeDescription* attribute : entity->attributes()) {
        const std::size_t number = attribute->propertyNumber();
        if (attribute->isTransient()) {
            object.values_.push_back(attribute->defaultValue());
        } else {
            object.values_.push_back(number < node.values.size() ? std::move(node.values[number])
                                                                 : LdValue());
        }
    }
    object.version_ = node.version;
    object.fault_ = false;
    object.awakeFromFetch();
}

void LdManagedObjectContext::faultFailed(LdManagedObject& object, LdError error) {
    object.inaccessible_ = true;
    object.fault_ = false;
    object.values_.assign(object.entity_->attributes().size(), LdValue());
    for (LdManagedObject::Relation& relation : object.relations_) {
        relation.loaded = true;
    }
    LdLogger::shared().addError(error);
    lastFaultError_ = std::move(error);
}

void LdManagedObjectContext::fillFault(LdManagedObject& object) {
    if (!object.fault_) {
        return;
    }
    LdError error;
    std::optional<LdStoreNode> node = store_.valuesForObjectWithID(object.objectID_, &error);
    if (!node) {
        faultFailed(object, std::move(error));
        return;
    }
    fillFromNode(object, std::move(*node));
}

void LdManagedObjectContext::loadRelation(LdManagedObject& object, std::size_t number) {
    LdManagedObject::Relation& slot = object.relation(number);
    if (slot.loaded) {
        return;
    }
    const LdRelationshipDescription* relationship =
            object.entity_->properties()[number]->asRelationship();
    LdError error;
    std::optional<std::vector<LdObjectID>> targets =
            store_.valueForRelationship(relationship, object.objectID_, &error);
    slot.loaded = true;
    if (!targets) {
        LdLogger::shared().addError(error);
        lastFaultError_ = std::move(error);
        return;
    }
    if (relationship->isToOne()) {
        slot.target = targets->empty() ? nullptr : objectWithID(targets->front());
        return;
    }
    LdManagedObject::ToMany& many = *slot.many;
    many.targets.clear();
    for (const LdObjectID& targetID : *targets) {
        LdManagedObject* target = objectWithID(targetID);
        if (target != nullptr &&
            std::find(many.removed.begin(), many.removed.end(), target) == many.removed.end()) {
            many.targets.push_back(target);
        }
    }
    // Changes made before the load, through the other side.
    for (LdManagedObject* added : many.added) {
        if (std::find(many.targets.begin(), many.targets.end(), added) == many.targets.end()) {
            many.targets.push_back(added);
        }
    }
    many.added.clear();
    many.removed.clear();
}

void LdManagedObjectContext::objectDidChange(LdManagedObject& object) {
    if (!object.tracked_) {
        object.tracked_ = true;
        changedObjects_.push_back(&object);
    }
    if (object.deleted_) {
        if ((object.pendingFlags_ & kPendingDeleted) == 0) {
            object.pendingFlags_ |= kPendingDeleted;
            pending_.deleted.push_back(&object);
        }
    } else if (object.inserted_) {
        if ((object.pendingFlags_ & kPendingInserted) == 0) {
            object.pendingFlags_ |= kPendingInserted;
            pending_.inserted.push_back(&object);
        }
    } else if ((object.pendingFlags_ & kPendingUpdated) == 0) {
        object.pendingFlags_ |= kPendingUpdated;
        pending_.updated.push_back(&object);
    }
}

void LdManagedObjectContext::processPendingChanges() {
    if (pending_.empty()) {
        return;
    }
    LdObjectsDidChange changes;
    // An object reports its latest state: deleted wins over inserted and updated; an object
    // inserted and deleted since the last report is not reported at all.
    for (LdManagedObject* object : pending_.inserted) {
        if (!object->deleted_) {
            changes.inserted.push_back(object);
        }
    }
    for (LdManagedObject* object : pending_.updated) {
        if (!object->deleted_ && (object->pendingFlags_ & kPendingInserted) == 0) {
            changes.updated.push_back(object);
        }
    }
    for (LdManagedObject* object : pending_.deleted) {
        if ((object->pendingFlags_ & kPendingInserted) == 0 || object->stored_) {
            changes.deleted.push_back(object);
        }
    }
    for (auto* list : {&pending_.inserted, &pending_.updated, &pending_.deleted}) {
        for (LdManagedObject* object : *list) {
            object->pendingFlags_ = 0;
        }
    }
    pending_ = LdObjectsDidChange();
    if (changes.empty()) {
        return;
    }
    LdNotification notification;
    notification.name = kLdObjectsDidChangeNotification;
    notification.object = this;
    notification.payload = std::move(changes);
    LdNotificationCenter::defaultCenter().postNotification(notification);
}

bool LdManagedObjectContext::hasChanges() const {
    return std::any_of(changedObjects_.begin(), changedObjects_.end(),
                       [](const LdManagedObject* object) {
                           return object->inserted_ || object->changed_ ||
                                  (object->deleted_ && object->stored_);
                       });
}

std::vector<LdManagedObject*> LdManagedObjectContext::insertedObjects() const {
    std::vector<LdManagedObject*> result;
    for (LdManagedObject* object : changedObjects_) {
        if (object->inserted_ && !object->deleted_) {
            result.push_back(object);
        }
    }
    return result;
}

std::vector<LdManagedObject*> LdManagedObjectContext::updatedObjects() const {
    std::vector<LdManagedObject*> result;
    for (LdManagedObject* object : changedObjects_) {
        if (object->isUpdated()) {
            result.push_back(object);
        }
    }
    return result;
}

std::vector<LdManagedObject*> LdManagedObjectContext::deletedObjects() const {
    std::vector<LdManagedObject*> result;
    for (LdManagedObject* object : changedObjects_) {
        if (object->deleted_ && object->stored_) {
            result.push_back(object);
        }
    }
    return result;
}

bool LdManagedObjectContext::deleteObject(LdManagedObject* object, LdError* error) {
    if (object == nullptr || object->context_ != this) {
        return false;
    }
    if (object->deleted_) {
        return true;
    }
    // A deny rule with targets refuses the whole deletion before anything changes.
    for (const LdRelationshipDescription* relationship : object->entity_->relationships()) {
        if (relationship->deleteRule() != LdDeleteRule::Deny) {
            continue;
        }
        const std::size_t number = relationship->propertyNumber();
        if (relationship->isToMany() ? !object->objectsAt(number).empty()
                                     : object->objectAt(number) != nullptr) {
            return failWith(error, contextError("The object cannot be deleted while its " +
                                                relationship->name() + " exist."));
        }
    }
    return deleteWithRules(object, error);
}

bool LdManagedObjectContext::deleteWithRules(LdManagedObject* object, LdError* error) {
    object->ensureFilled();
    object->prepareForDeletion();
    object->logDeletion();
    // Read every related object before the object counts as deleted.
    std::vector<std::pair<const LdRelationshipDescription*, std::vector<LdManagedObject*>>> related;
    for (const LdRelationshipDescription* relationship : object->entity_->relationships()) {
        const std::size_t number = relationship->propertyNumber();
        std::vector<LdManagedObject*> targets;
        if (relationship->isToMany()) {
            targets = object->objectsAt(number);
        } else if (LdManagedObject* target = object->objectAt(number)) {
            targets.push_back(target);
        }
        related.emplace_back(relationship, std::move(targets));
    }
    object->deleted_ = true;
    objectDidChange(*object);
    recordChange({.kind = LdUndoChange::Kind::Delete, .object = object});
    for (const auto& [relationship, targets] : related) {
        for (LdManagedObject* target : targets) {
            if (target->deleted_) {
                continue;
            }
            switch (relationship->deleteRule()) {
                case LdDeleteRule::Cascade:
                    object->linkInverse(relationship, target, false);
                    if (!deleteWithRules(target, error)) {
                        return false;
                    }
                    break;
                case LdDeleteRule::Nullify:
                case LdDeleteRule::Deny:
                    object->linkInverse(relationship, target, false);
                    break;
                case LdDeleteRule::NoAction:
                    break;
            }
        }
    }
    return true;
}

std::vector<LdManagedObject*> LdManagedObjectContext::changedObjectsForRequest(
        const LdFetchRequest& request) const {
    std::vector<LdManagedObject*> result;
    for (LdManagedObject* object : changedObjects_) {
        const bool kind = request.includesSubentities
                                  ? object->entity_->isKindOfEntity(request.entity)
                                  : object->entity_ == request.entity;
        if (kind && object->hasChanges()) {
            result.push_back(object);
        }
    }
    return result;
}

bool LdManagedObjectContext::matches(const LdFetchRequest& request,
                                     const LdManagedObject& object) const {
    // `request` comes without offset and limit: the window is cut after the union.
    return !object.deleted_ && !object.inaccessible_ &&
           LdPredicateEvaluator::objectMatchesFetchRequest(request, object);
}

std::optional<std::vector<LdManagedObject*>> LdManagedObjectContext::executeFetchRequest(
        const LdFetchRequest& request, LdError* error) {
    if (request.entity == nullptr) {
        return std::nullopt;
    }
    if (request.resultType == LdFetchRequest::ResultType::Count) {
        std::optional<std::size_t> count = countForFetchRequest(request, error);
        if (!count) {
            return std::nullopt;
        }
        failWith(error, contextError("a count request returns no objects"));
        return std::nullopt;
    }
    const std::vector<LdManagedObject*> changed = changedObjectsForRequest(request);
    LdFetchRequest storeRequest = request;
    storeRequest.resultType = LdFetchRequest::ResultType::Objects;
    if (!changed.empty() && request.fetchLimit > 0) {
        storeRequest.fetchLimit = request.fetchOffset + request.fetchLimit + changed.size();
        storeRequest.fetchOffset = 0;
    }
    std::optional<LdStoreFetchResult> rows = store_.executeFetchRequest(storeRequest, error);
    if (!rows) {
        return std::nullopt;
    }
    std::vector<LdManagedObject*> objects;
    objects.reserve(rows->objectIDs.size());
    for (std::size_t index = 0; index < rows->objectIDs.size(); ++index) {
        LdManagedObject* object = objectWithID(rows->objectIDs[index]);
        if (object == nullptr) {
            continue;
        }
        // An object that awakeFromFetch changes now was not among C: its row decides.
        const bool trackedBefore = object->tracked_;
        if (object->fault_ && index < rows->nodes.size() && rows->nodes[index].version > 0) {
            fillFromNode(*object, std::move(rows->nodes[index]));
        }
        if (!changed.empty() && trackedBefore && object->hasChanges()) {
            continue;  // judged in memory below
        }
        objects.push_back(object);
    }
    if (changed.empty()) {
        return objects;
    }
    LdFetchRequest memoryRequest = request;
    memoryRequest.fetchLimit = 0;
    memoryRequest.fetchOffset = 0;
    for (LdManagedObject* object : changed) {
        if (matches(memoryRequest, *object)) {
            objects.push_back(object);
        }
    }
    if (!request.sortDescriptors.empty()) {
        std::stable_sort(objects.begin(), objects.end(),
                         [&](const LdManagedObject* a, const LdManagedObject* b) {
                             return LdPredicateEvaluator::compareForSortDescriptors(
                                            request.sortDescriptors, *a, *b) < 0;
                         });
    }
    const std::size_t begin = std::min(request.fetchOffset, objects.size());
    const std::size_t end = request.fetchLimit > 0
                                    ? std::min(objects.size(), begin + request.fetchLimit)
                                    : objects.size();
    return std::vector<LdManagedObject*>(objects.begin() + static_cast<std::ptrdiff_t>(begin),
                                         objects.begin() + static_cast<std::ptrdiff_t>(end));
}

std::optional<std::size_t> LdManagedObjectContext::countForFetchRequest(
        const LdFetchRequest& request, LdError* error) {
    if (request.entity == nullptr) {
        return std::nullopt;
    }
    LdFetchRequest countRequest = request;
    countRequest.resultType = LdFetchRequest::ResultType::Count;
    countRequest.fetchLimit = 0;
    countRequest.fetchOffset = 0;
    std::optional<LdStoreFetchResult> counted = store_.executeFetchRequest(countRequest, error);
    if (!counted) {
        return std::nullopt;
    }
    std::size_t count = counted->count;
    const std::vector<LdManagedObject*> changed = changedObjectsForRequest(request);
    if (!changed.empty()) {
        LdPredicateArgument::ObjectIDList storedKeys;
        std::size_t inMemory = 0;
        for (LdManagedObject* object : changed) {
            if (object->stored_) {
                storedKeys.push_back(object->objectID_);
            }
            if (matches(countRequest, *object)) {
                ++inMemory;
            }
        }
        if (!storedKeys.empty()) {
            LdPredicatePtr stored =
                    LdPredicateParser::predicateWithFormat("SELF IN %@", {storedKeys});
            countRequest.predicate = request.predicate ? LdPredicate::andPredicateWithSubpredicates(
                                                                 {request.predicate, stored})
                                                       : stored;
            std::optional<LdStoreFetchResult> storedCount =
                    store_.executeFetchRequest(countRequest, error);
            if (!storedCount) {
                return std::nullopt;
            }
            count -= std::min<std::size_t>(count, storedCount->count);
        }
        count += inMemory;
    }
    if (request.fetchOffset > 0) {
        count -= std::min(count, request.fetchOffset);
    }
    if (request.fetchLimit > 0) {
        count = std::min(count, request.fetchLimit);
    }
    return count;
}

LdStoreRow LdManagedObjectContext::rowForObject(LdManagedObject& object, bool onlyChanged) {
    LdStoreRow row = LdStoreRow::forObjectID(object.objectID_);
    const LdEntityDescription* entity = object.entity_;
    std::vector<std::size_t> numbers;
    if (onlyChanged) {
        numbers = object.changedPropertyNumbers();
    } else {
        numbers.resize(entity->propertyCount());
        for (std::size_t number = 0; number < numbers.size(); ++number) {
            numbers[number] = number;
        }
    }
    for (std::size_t number : numbers) {
        const LdPropertyDescription* property = entity->properties()[number];
        if (onlyChanged) {
            row.markChanged(number);
        }
        if (property->isAttribute()) {
            row.values[number] = object.values_[entity->kindIndex(number)];
        } else if (property->asRelationship()->isToOne()) {
            LdManagedObject* target = object.objectAt(number);
            row.toOne[number] = target != nullptr ? target->objectID_ : LdObjectID();
        } else {
            for (LdManagedObject* target : object.objectsAt(number)) {
                row.toMany[number].push_back(target->objectID_);
            }
        }
    }
    return row;
}

bool LdManagedObjectContext::save(LdError* error) {
    if (saving_) {
        return failWith(error, contextError("save while saving"));
    }
    processPendingChanges();
    if (!hasChanges()) {
        return true;
    }
    saving_ = true;
    const std::vector<LdManagedObject*> saved = changedObjects_;
    for (LdManagedObject* object : saved) {
        if (!(object->deleted_ && !object->stored_)) {
            object->willSave();
        }
    }
    processPendingChanges();  // changes made by willSave
    const std::vector<LdManagedObject*> changed = changedObjects_;
    LdStoreChangeSet changes;
    LdObjectsDidChange written;
    for (LdManagedObject* object : changed) {
        if (object->deleted_) {
            if (object->stored_) {
                changes.deleted.push_back(object->objectID_);
                written.deleted.push_back(object);
            }
        } else if (object->inserted_) {
            changes.inserted.push_back(rowForObject(*object, /*onlyChanged=*/false));
            written.inserted.push_back(object);
        } else if (object->changed_) {
            changes.updated.push_back(rowForObject(*object, /*onlyChanged=*/true));
            written.updated.push_back(object);
        }
    }
    const bool stored = store_.saveChanges(changes, error);
    saving_ = false;
    if (!stored) {
        return false;
    }
    for (LdManagedObject* object : changed) {
        if (object->inserted_ && !object->deleted_) {
            object->version_ = 1;
            object->stored_ = true;
        } else if (object->changed_ && !object->deleted_) {
            ++object->version_;
        }
        if (object->deleted_) {
            object->stored_ = false;
        }
        object->inserted_ = false;
        object->changed_ = false;
        object->changedMask_.clear();
        object->committed_.reset();
        object->tracked_ = false;
    }
    changedObjects_.clear();
    for (LdManagedObject* object : changed) {
        if (!object->deleted_) {
            object->didSave();
        }
    }
    LdNotification notification;
    notification.name = kLdContextDidSaveNotification;
    notification.object = this;
    notification.payload = std::move(written);
    LdNotificationCenter::defaultCenter().postNotification(notification);
    return true;
}

void LdManagedObjectContext::refreshObject(LdManagedObject* object, bool mergeChanges) {
    if (object == nullptr || object->context_ != this || object->deleted_) {
        return;
    }
    if (mergeChanges || object->inserted_) {
        // Nothing is re-read, but caches are dropped all the same.
        object->didRefresh();
        return;
    }
    object->didRefresh();
    object->changed_ = false;
    object->changedMask_.clear();
    object->committed_.reset();
    object->fault_ = true;
    object->inaccessible_ = false;
    object->values_.clear();
    for (LdManagedObject::Relation& relation : object->relations_) {
        relation.loaded = false;
        relation.target = nullptr;
        if (relation.many) {
            *relation.many = LdManagedObject::ToMany();
        }
    }
    if (object->tracked_) {
        object->tracked_ = false;
        changedObjects_.erase(std::remove(changedObjects_.begin(), changedObjects_.end(), object),
                              changedObjects_.end());
    }
}

std::string LdManagedObjectContext::stringForObjectID(const LdObjectID& objectID) {
    if (!objectID.isValid()) {
        return {};
    }
    return "ldobj://" + objectID.storeIdentifier() + "/" + objectID.entity()->name() + "/p" +
           std::to_string(objectID.primaryKey());
}

LdManagedObject* LdManagedObjectContext::objectForURIRepresentation(std::string_view text) {
    constexpr std::string_view kScheme = "ldobj://";
    if (text.substr(0, kScheme.size()) != kScheme) {
        return nullptr;
    }
    text.remove_prefix(kScheme.size());
    const std::size_t storeEnd = text.find('/');
    const std::size_t entityEnd =
            storeEnd == std::string_view::npos ? storeEnd : text.find('/', storeEnd + 1);
    if (entityEnd == std::string_view::npos || text.substr(0, storeEnd) != store_.identifier() ||
        entityEnd + 2 > text.size() || text[entityEnd + 1] != 'p') {
        return nullptr;
    }
    const LdEntityDescription* entity =
            store_.model().entityNamed(text.substr(storeEnd + 1, entityEnd - storeEnd - 1));
    std::uint64_t key = 0;
    const std::string_view digits = text.substr(entityEnd + 2);
    auto [end, result] = std::from_chars(digits.data(), digits.data() + digits.size(), key);
    if (entity == nullptr || result != std::errc() || end != digits.data() + digits.size() ||
        key == 0) {
        return nullptr;
    }
    return objectWithID(store_.objectIDForEntity(entity, key));
}

void LdManagedObjectContext::setUndoEnabled(bool enabled) {
    if (!enabled) {
        undoManager_.reset();
    } else if (!undoManager_) {
        undoManager_ = std::make_unique<LdUndoManager>(*this);
        undoManager_->setMainQueue(queue_);
    }
}

void LdManagedObjectContext::setMainQueue(LdMainQueue* queue) {
    queue_ = queue;
    if (undoManager_) {
        undoManager_->setMainQueue(queue);
    }
    taskEndSubscription_ = queue != nullptr
                                   ? queue->addTaskEndObserver([this] { processPendingChanges(); })
                                   : LdSubscription();
}

void LdManagedObjectContext::setObjectDeleted(LdManagedObject& object, bool deleted) {
    if (object.deleted_ == deleted) {
        return;
    }
    object.deleted_ = deleted;
    if (!deleted && !object.stored_) {
        // Its row is gone (or was never written): saving writes it again under its old key.
        object.inserted_ = true;
    }
    objectDidChange(object);
    recordChange({.kind = deleted ? LdUndoChange::Kind::Delete : LdUndoChange::Kind::Insert,
                  .object = &object});
}

void LdManagedObjectContext::replayChange(const LdUndoChange& change) {
    LdManagedObject* object = change.object;
    switch (change.kind) {
        case LdUndoChange::Kind::Attribute:
            object->setValueAt(change.number, change.oldValue);
            break;
        case LdUndoChange::Kind::ToOne:
            object->linkToOne(change.number, change.oldTarget);
            break;
        case LdUndoChange::Kind::ToManyAdd:
            object->linkToMany(change.number, change.target, /*add=*/false);
            break;
        case LdUndoChange::Kind::ToManyRemove:
            object->linkToMany(change.number, change.target, /*add=*/true);
            object->moveTarget(change.number, change.target, change.index);
            break;
        case LdUndoChange::Kind::ToManyMove:
            object->moveTarget(change.number, change.target, change.index);
            break;
        case LdUndoChange::Kind::Insert:
            setObjectDeleted(*object, true);
            break;
        case LdUndoChange::Kind::Delete:
            setObjectDeleted(*object, false);
            break;
    }
}
