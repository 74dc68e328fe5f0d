// Tests of the object models: consistency of the three built-in models, numbering of entities and
// properties, version hashes, and the checks that refuse inconsistent definitions.
#include "core/database/model/LdObjectModel.h"

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "core/database/model/detail/LdModelDefinition.h"
#include "core/security/VTCrypto.h"

using ld::detail::LdAttributeDefinition;
using ld::detail::LdEntityDefinition;
using ld::detail::LdModelDefinition;
using ld::detail::LdRelationshipKind;

namespace {

std::vector<const LdObjectModel*> allModels() {
    return {&LdObjectModel::ledraModel(), &LdObjectModel::exchangeRateModel(),
            &LdObjectModel::onlineProviderInfoModel()};
}

std::vector<std::string> names(const std::vector<const LdEntityDescription*>& entities) {
    std::vector<std::string> result;
    result.reserve(entities.size());
    for (const LdEntityDescription* entity : entities) {
        result.push_back(entity->name());
    }
    return result;
}

const LdEntityDescription& ledraEntity(std::string_view name) {
    const LdEntityDescription* entity = LdObjectModel::ledraModel().entityNamed(name);
    EXPECT_NE(entity, nullptr) << name;
    return *entity;
}

// The property a key path leads to from an entity, walking to-one relationships; nullptr when a
// component does not exist or a non-final component is no to-one relationship.
const LdPropertyDescription* propertyAtKeyPath(const LdEntityDescription* entity,
                                               std::string_view keyPath) {
    while (entity != nullptr) {
        std::size_t dot = keyPath.find('.');
        const LdPropertyDescription* property = entity->propertyNamed(keyPath.substr(0, dot));
        if (dot == std::string_view::npos || property == nullptr) {
            return property;
        }
        const LdRelationshipDescription* relationship = property->asRelationship();
        if (relationship == nullptr || relationship->isToMany()) {
            return nullptr;
        }
        entity = relationship->destinationEntity();
        keyPath.remove_prefix(dot + 1);
    }
    return nullptr;
}

LdEntityDefinition* entityIn(LdModelDefinition& definition, std::string_view name) {
    for (LdEntityDefinition& entity : definition.entities) {
        if (entity.name == name) {
            return &entity;
        }
    }
    ADD_FAILURE() << "no entity " << name;
    return nullptr;
}

// A small sound model: an abstract Node with the subentities Folder and Leaf, and a Tag linked to
// leaves.
LdModelDefinition smallDefinition() {
    using enum LdAttributeType;
    using enum LdRelationshipKind;
    return {"Small",
            "7",
            {{"Node",
              "LdNode",
              "",
              true,
              {{"name", String}},
              {{"parent", "Folder", "children", ToOne}},
              {{"name"}}},
             {"Folder",
              "LdFolder",
              "Node",
              false,
              {},
              {{"children", "Node", "parent", OrderedToMany}},
              {}},
             {"Leaf",
              "LdLeaf",
              "Node",
              false,
              {{"size", Integer64}},
              {{"tags", "Tag", "leaves", ToMany}},
              {}},
             {"Tag",
              "LdTag",
              "",
              false,
              {{"label", String}},
              {{"leaves", "Leaf", "tags", ToMany}},
              {}}}};
}

}  // namespace

TEST(LdObjectModelTest, BuiltInModelDefinitionsAreConsistent) {
    for (const LdModelDefinition* definition :
         {&ld::detail::ledraModelDefinition(), &ld::detail::exchangeRateModelDefinition(),
          &ld::detail::onlineProviderInfoModelDefinition()}) {
        std::vector<std::string> problems = ld::detail::problemsInModelDefinition(*definition);
        std::string listed;
        for (const std::string& problem : problems) {
            listed += "\n  " + problem;
        }
        EXPECT_TRUE(problems.empty()) << definition->name << ":" << listed;
    }
}

TEST(LdObjectModelTest, BuiltInModelsHaveTheirNamesVersionsAndEntities) {
    const LdObjectModel& ledra = LdObjectModel::ledraModel();
    EXPECT_EQ(ledra.name(), "Ledra_5");
    EXPECT_EQ(ledra.versionIdentifier(), "4992");
    EXPECT_EQ(ledra.entities().size(), 46U);
    EXPECT_EQ(&ledra, &LdObjectModel::ledraModel());

    EXPECT_EQ(LdObjectModel::exchangeRateModel().name(), "ExchangeRateModel");
    EXPECT_EQ(names(LdObjectModel::exchangeRateModel().entities()),
              std::vector<std::string>{"ExchangeRate"});
    EXPECT_EQ(LdObjectModel::onlineProviderInfoModel().name(), "OnlineProviderInfo");
    EXPECT_EQ(names(LdObjectModel::onlineProviderInfoModel().entities()),
              (std::vector<std::string>{"OnlineServiceProvider", "OnlineAccessConfiguration"}));

    EXPECT_EQ(ledraEntity("Entry").className(), "LdCDEntry");
    EXPECT_EQ(LdObjectModel::onlineProviderInfoModel()
                      .entityNamed("OnlineServiceProvider")
                      ->className(),
              "LdOnlineServiceProvider");
    EXPECT_EQ(ledra.entityNamed("NoSuchEntity"), nullptr);
    for (const LdObjectModel* model : allModels()) {
        for (const LdEntityDescription* entity : model->entities()) {
            EXPECT_EQ(entity->model(), model);
            EXPECT_EQ(model->entityNamed(entity->name()), entity);
        }
    }
}

TEST(LdObjectModelTest, NumberingOrderIsContiguousWithParentsBeforeChildren) {
    const LdObjectModel& model = LdObjectModel::ledraModel();
    std::vector<const LdEntityDescription*> order = model.entitiesInNumberingOrder();
    ASSERT_EQ(order.size(), model.entities().size());
    ASSERT_EQ(std::set(order.begin(), order.end()).size(), order.size());

    auto position = [&order](const LdEntityDescription* entity) {
        return static_cast<std::size_t>(std::find(order.begin(), order.end(), entity) -
                                        order.begin());
    };
    bool inHierarchies = false;
    for (std::size_t i = 0; i < order.size(); ++i) {
        const LdEntityDescription* entity = order[i];
        if (entity->superentity() != nullptr) {
            EXPECT_LT(position(entity->superentity()), i) << entity->name();
        } else if (entity->hasSubentities()) {
            inHierarchies = true;
            // The whole tree follows its root without interruption.
            std::vector<const LdEntityDescription*> tree = entity->allDescendants();
            ASSERT_LE(i + tree.size(), order.size() - 1);
            EXPECT_TRUE(
                    std::equal(tree.begin(), tree.end(), order.begin() + static_cast<long>(i) + 1))
                    << entity->name();
        } else {
            EXPECT_FALSE(inHierarchies) << entity->name() << " comes after a hierarchy";
        }
    }

    EXPECT_EQ(order.front()->name(), "DayBalance");
    std::size_t baseEntry = position(model.entityNamed("BaseEntry"));
    ASSERT_LT(baseEntry + 3, order.size());
    EXPECT_EQ(
            names({order.begin() + static_cast<long>(baseEntry),
                   order.begin() + static_cast<long>(baseEntry) + 4}),
            (std::vector<std::string>{"BaseEntry", "Entry", "PrebookedOnlineEntry", "SplitEntry"}));
}

TEST(LdObjectModelTest, EntryHierarchyMatchesTheLedger) {
    const LdEntityDescription& baseEntry = ledraEntity("BaseEntry");
    const LdEntityDescription& entry = ledraEntity("Entry");
    const LdEntityDescription& prebooked = ledraEntity("PrebookedOnlineEntry");

    EXPECT_EQ(entry.rootEntity(), &baseEntry);
    EXPECT_EQ(prebooked.rootEntity(), &baseEntry);
    EXPECT_EQ(baseEntry.rootEntity(), &baseEntry);
    EXPECT_TRUE(baseEntry.isAbstract());
    EXPECT_FALSE(entry.isAbstract());
    EXPECT_EQ(names(baseEntry.subentities()), (std::vector<std::string>{"Entry", "SplitEntry"}));
    EXPECT_EQ(names(baseEntry.allDescendants()),
              (std::vector<std::string>{"Entry", "PrebookedOnlineEntry", "SplitEntry"}));
    EXPECT_FALSE(prebooked.hasSubentities());

    EXPECT_TRUE(prebooked.isKindOfEntity(&baseEntry));
    EXPECT_TRUE(entry.isKindOfEntity(&entry));
    EXPECT_FALSE(baseEntry.isKindOfEntity(&entry));
    EXPECT_FALSE(ledraEntity("SplitEntry").isKindOfEntity(&entry));
    EXPECT_FALSE(entry.isKindOfEntity(nullptr));
}

TEST(LdObjectModelTest, RelationshipsOfTheLedgerCoreHaveTheirShape) {
    const LdRelationshipDescription* entries =
            ledraEntity("DayBalance").relationshipNamed("entries");
    ASSERT_NE(entries, nullptr);
    EXPECT_TRUE(entries->isToMany());
    EXPECT_TRUE(entries->isOrdered());
    EXPECT_EQ(entries->destinationEntity(), &ledraEntity("Entry"));
    EXPECT_EQ(entries->inverseRelationship(), ledraEntity("Entry").relationshipNamed("dayBalance"));
    EXPECT_TRUE(entries->inverseRelationship()->isToOne());
    EXPECT_TRUE(ledraEntity("Account").relationshipNamed("dayBalances")->isOrdered());
    EXPECT_TRUE(ledraEntity("Entry").relationshipNamed("splits")->isOrdered());
    EXPECT_FALSE(ledraEntity("Contact").relationshipNamed("bankDetails")->isOrdered());

    // Both sides of a transfer point at each other through one relationship.
    const LdRelationshipDescription* transfer =
            ledraEntity("BaseEntry").relationshipNamed("transferEntry");
    EXPECT_EQ(transfer->inverseRelationship(), transfer);
    EXPECT_EQ(ledraEntity("SplitEntry").relationshipNamed("transferEntry"), transfer);

    EXPECT_TRUE(ledraEntity("Tag").relationshipNamed("entries")->isManyToMany());
    EXPECT_FALSE(entries->isManyToMany());
    EXPECT_EQ(ledraEntity("BaseEntry").relationshipNamed("tokens")->deleteRule(),
              LdDeleteRule::Cascade);
    EXPECT_EQ(ledraEntity("Entry").relationshipNamed("splits")->deleteRule(),
              LdDeleteRule::Nullify);
}

TEST(LdObjectModelTest, EveryRelationshipHasAnInverseThatPointsBack) {
    for (const LdObjectModel* model : allModels()) {
        for (const LdEntityDescription* entity : model->entities()) {
            for (const LdRelationshipDescription* relationship : entity->relationships()) {
                std::string label = entity->name() + "." + relationship->name();
                const LdRelationshipDescription* inverse = relationship->inverseRelationship();
                ASSERT_NE(inverse, nullptr) << label;
                EXPECT_EQ(inverse->name(), relationship->inverseName()) << label;
                EXPECT_EQ(inverse->inverseRelationship(), relationship) << label;
                EXPECT_EQ(inverse->destinationEntity(), relationship->entity()) << label;
                EXPECT_EQ(relationship->destinationEntity(), inverse->entity()) << label;
                EXPECT_TRUE(!relationship->isOrdered() || relationship->isToMany()) << label;
            }
        }
    }
}

TEST(LdObjectModelTest, InheritedPropertiesKeepTheParentsNumbers) {
    for (const LdObjectModel* model : allModels()) {
        for (const LdEntityDescription* entity : model->entities()) {
            const std::vector<const LdPropertyDescription*>& properties = entity->properties();
            for (std::size_t number = 0; number < properties.size(); ++number) {
                EXPECT_EQ(properties[number]->propertyNumber(), number) << entity->name();
                EXPECT_EQ(entity->propertyNamed(properties[number]->name()), properties[number]);
                EXPECT_TRUE(entity->isKindOfEntity(properties[number]->entity()));
            }
            EXPECT_EQ(entity->attributes().size() + entity->relationships().size(),
                      entity->propertyCount());
            if (const LdEntityDescription* parent = entity->superentity(); parent != nullptr) {
                ASSERT_GE(properties.size(), parent->propertyCount());
                EXPECT_TRUE(std::equal(parent->properties().begin(), parent->properties().end(),
                                       properties.begin()))
                        << entity->name();
            }
        }
    }
    const LdAttributeDescription* amount = ledraEntity("BaseEntry").attributeNamed("amount");
    EXPECT_EQ(ledraEntity("PrebookedOnlineEntry").attributeNamed("amount"), amount);
    EXPECT_EQ(ledraEntity("PrebookedOnlineEntry").properties()[amount->propertyNumber()], amount);
    EXPECT_EQ(ledraEntity("Entry").attributeNamed("dayBalance"), nullptr);  // a relationship
    EXPECT_EQ(ledraEntity("Entry").propertyNamed("noSuchProperty"), nullptr);
}

TEST(LdObjectModelTest, AttributesHaveTypesFlagsAndDefaults) {
    const LdEntityDescription& entry = ledraEntity("Entry");
    const LdAttributeDescription* isActive = entry.attributeNamed("isActive");
    EXPECT_EQ(isActive->attributeType(), LdAttributeType::Boolean);
    EXPECT_EQ(isActive->defaultValue(), LdValue(false));
    const LdAttributeDescription* amount = entry.attributeNamed("amount");
    EXPECT_EQ(amount->attributeType(), LdAttributeType::Decimal);
    EXPECT_TRUE(amount->defaultValue().isNull());
    EXPECT_TRUE(entry.attributeNamed("accountBalance")->isTransient());
    EXPECT_FALSE(amount->isTransient());
    EXPECT_EQ(ledraEntity("User")
                      .attributeNamed("numberOfDaysToCreateRecurringEntriesInAdvance")
                      ->attributeType(),
              LdAttributeType::Integer64);
    EXPECT_EQ(ledraEntity("CategoryRule").attributeNamed("propertyType")->attributeType(),
              LdAttributeType::Integer32);

    for (const LdObjectModel* model : allModels()) {
        for (const LdEntityDescription* entity : model->entities()) {
            for (const LdAttributeDescription* attribute : entity->attributes()) {
                EXPECT_TRUE(attribute->isOptional());
                EXPECT_EQ(attribute->defaultValue().isBool(),
                          attribute->attributeType() == LdAttributeType::Boolean)
                        << entity->name() << "." << attribute->name();
                // No stored value would survive a save without a column.
                EXPECT_NE(attribute->attributeType(), LdAttributeType::Transformable);
            }
        }
    }
}

// Key paths that predicates, sort keys and value reads of the managers use on stored objects.
TEST(LdObjectModelTest, KeyPathsUsedByTheManagersResolve) {
    const std::vector<std::pair<std::string_view, std::string_view>> keyPaths = {
            {"Entry", "isNew"},
            {"Entry", "isActive"},
            {"Entry", "dayBalance.account"},
            {"Entry", "dayBalance.date"},
            {"Entry", "dayBalance.account.currencyCode"},
            {"Entry", "transferEntry"},
            {"Entry", "syncUniqueID"},
            {"BaseEntry", "tokenString"},
            {"BaseEntry", "importIdentifier"},
            {"BaseEntry", "category"},
            {"BaseEntry", "tagsString"},
            {"BaseEntry", "infoDict.serializedData"},
            {"SplitEntry", "entry.dayBalance.account"},
            {"PrebookedOnlineEntry", "sourceType"},
            {"PrebookedOnlineEntry", "loadDate"},
            {"DayBalance", "account"},
            {"DayBalance", "date"},
            {"Account", "includedInTotalBalance"},
            {"Account", "isInactive"},
            {"Account", "isHidden"},
            {"Account", "onlineRelation.showOnlineAmount"},
            {"Account", "accountHolder"},
            {"Account", "list.user"},
            {"BankDetails", "ibanClean"},
            {"BankDetails", "accountNumberClean"},
            {"BankDetails", "bankCodeClean"},
            {"BankDetails", "bicClean"},
            {"ContactOtherName", "name"},
            {"ContactOtherName", "contact.isPerson"},
            {"Contact", "keywords"},
            {"Contact", "nickname"},
            {"Contact", "companyName"},
            {"Contact", "namePrefix"},
            {"Contact", "nameSuffix"},
            {"EntryToken", "text"},
            {"Tag", "name"},
            {"Category", "super_category"},
            {"Category", "imageName"},
            {"RecurringRule", "lastAutoUpdateDate"},
            {"RecurringRule", "finished"},
            {"RecurringRule", "endDate"},
            {"Report", "auto_time_period"},
            {"Chart", "tags_negative"},
            {"Budget", "budget_remaining_amount"},
            {"Budget", "budget_status"},
            {"BudgetCategoryRelation", "annualBudget"},
            {"BudgetCategoryRelation", "isIncome"},
            {"BudgetCategoryAmount", "budgetCategoryRelation.category"},
            {"SyncDeleteLog", "id_of_deleted_object"},
            {"SyncDeleteLog", "date_of_deletion"},
            {"FileAttachment", "fileName"},
            {"AccountStatement", "fileName"},
            {"StockBuy", "stock.list.user"},
    };
    for (const auto& [entityName, keyPath] : keyPaths) {
        EXPECT_NE(propertyAtKeyPath(&ledraEntity(entityName), keyPath), nullptr)
                << entityName << " " << keyPath;
    }
    const LdEntityDescription* rate =
            LdObjectModel::exchangeRateModel().entityNamed("ExchangeRate");
    for (std::string_view keyPath : {"date", "from_currency", "to_currency", "source"}) {
        EXPECT_NE(propertyAtKeyPath(rate, keyPath), nullptr) << keyPath;
    }
}

TEST(LdObjectModelTest, DeclaredIndexesCoverThePerRecordLookups) {
    using Index = std::vector<std::string>;
    auto hasIndex = [](const LdEntityDescription& entity, const Index& index) {
        return std::find(entity.indexes().begin(), entity.indexes().end(), index) !=
               entity.indexes().end();
    };
    EXPECT_TRUE(hasIndex(ledraEntity("BaseEntry"), Index{"importIdentifier"}));
    EXPECT_TRUE(hasIndex(ledraEntity("BaseEntry"), Index{"tokenString"}));
    EXPECT_TRUE(hasIndex(ledraEntity("EntryToken"), Index{"text"}));
    EXPECT_TRUE(hasIndex(ledraEntity("BankDetails"), Index{"ibanClean"}));
    for (const Index& index : ledraEntity("DayBalance").indexes()) {
        EXPECT_EQ(std::find(index.begin(), index.end(), "date"), index.end());
    }
    // Sync and merge look objects up by syncUniqueID everywhere.
    for (const LdEntityDescription* entity : LdObjectModel::ledraModel().entities()) {
        const LdAttributeDescription* syncID = entity->attributeNamed("syncUniqueID");
        if (syncID != nullptr && syncID->entity() == entity) {
            EXPECT_TRUE(hasIndex(*entity, Index{"syncUniqueID"})) << entity->name();
        }
    }
}

TEST(LdObjectModelTest, VersionHashesAreStableDigestsPerEntity) {
    const LdObjectModel& model = LdObjectModel::ledraModel();
    std::unique_ptr<LdObjectModel> rebuilt =
            LdObjectModel::modelWithDefinition(ld::detail::ledraModelDefinition());
    ASSERT_NE(rebuilt, nullptr);

    LdValue::Dictionary hashes = model.versionHashes();
    EXPECT_EQ(hashes.size(), model.entities().size());
    std::set<LdData> distinct;
    for (const LdEntityDescription* entity : model.entities()) {
        const LdData& hash = model.versionHashForEntity(entity);
        EXPECT_EQ(hash.size(), 32U);
        EXPECT_EQ(hashes[entity->name()].dataValue(), hash);
        EXPECT_EQ(rebuilt->versionHashForEntity(rebuilt->entityNamed(entity->name())), hash);
        distinct.insert(hash);
    }
    EXPECT_EQ(distinct.size(), model.entities().size());

    // The canonical text is a stored format: this digest must never change by accident.
    const LdEntityDescription* rate =
            LdObjectModel::exchangeRateModel().entityNamed("ExchangeRate");
    std::string text =
            "entity ExchangeRate\nsuperentity \nattribute date Date\nattribute exchange_rate "
            "Decimal\nattribute from_currency String\nattribute source Integer32\nattribute "
            "to_currency String\n";
    EXPECT_EQ(LdObjectModel::exchangeRateModel().versionHashForEntity(rate),
              VTCrypto::SHA256(LdData(text.begin(), text.end())));

    EXPECT_TRUE(model.versionHashForEntity(nullptr).empty());
    EXPECT_TRUE(model.versionHashForEntity(rate).empty());  // another model's entity
}

TEST(LdObjectModelTest, VersionHashChangesOnlyWithTheStoredShape) {
    const LdObjectModel& original = LdObjectModel::ledraModel();
    auto hashOf = [](const LdObjectModel& model, std::string_view entity) {
        return model.versionHashForEntity(model.entityNamed(entity));
    };
    auto rebuiltWith = [](const std::function<void(LdModelDefinition&)>& change) {
        LdModelDefinition definition = ld::detail::ledraModelDefinition();
        change(definition);
        std::unique_ptr<LdObjectModel> model = LdObjectModel::modelWithDefinition(definition);
        EXPECT_NE(model, nullptr);
        return model;
    };

    std::unique_ptr<LdObjectModel> widerFlag = rebuiltWith([](LdModelDefinition& definition) {
        for (LdAttributeDefinition& attribute : entityIn(definition, "Entry")->attributes) {
            if (attribute.name == "flag") {
                attribute.type = LdAttributeType::Integer64;
            }
        }
    });
    EXPECT_NE(hashOf(*widerFlag, "Entry"), hashOf(original, "Entry"));
    EXPECT_NE(hashOf(*widerFlag, "PrebookedOnlineEntry"), hashOf(original, "PrebookedOnlineEntry"));
    EXPECT_EQ(hashOf(*widerFlag, "BaseEntry"), hashOf(original, "BaseEntry"));
    EXPECT_EQ(hashOf(*widerFlag, "SplitEntry"), hashOf(original, "SplitEntry"));

    std::unique_ptr<LdObjectModel> unorderedDays = rebuiltWith([](LdModelDefinition& definition) {
        entityIn(definition, "DayBalance")->relationships[1].kind = LdRelationshipKind::ToMany;
    });
    EXPECT_NE(hashOf(*unorderedDays, "DayBalance"), hashOf(original, "DayBalance"));
    EXPECT_EQ(hashOf(*unorderedDays, "Entry"), hashOf(original, "Entry"));

    // Transient values, delete rules and indexes do not change what a store holds.
    std::unique_ptr<LdObjectModel> sameShape = rebuiltWith([](LdModelDefinition& definition) {
        LdEntityDefinition* entry = entityIn(definition, "Entry");
        entry->attributes.push_back({"isSelected", LdAttributeType::Boolean, true});
        entry->relationships[2].deleteRule = LdDeleteRule::Cascade;
        entry->indexes.push_back({"flag"});
    });
    EXPECT_EQ(hashOf(*sameShape, "Entry"), hashOf(original, "Entry"));
}

TEST(LdObjectModelTest, SmallModelBuildsWithNumberingAndDescendants) {
    std::vector<std::string> problems{"left over"};
    std::unique_ptr<LdObjectModel> model =
            LdObjectModel::modelWithDefinition(smallDefinition(), &problems);
    ASSERT_NE(model, nullptr);
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(model->versionIdentifier(), "7");
    EXPECT_EQ(names(model->entitiesInNumberingOrder()),
              (std::vector<std::string>{"Tag", "Node", "Folder", "Leaf"}));

    const LdEntityDescription* leaf = model->entityNamed("Leaf");
    // Inherited name and parent first, then the own attribute, then the own relationship.
    std::vector<std::string> slots;
    for (const LdPropertyDescription* property : leaf->properties()) {
        slots.push_back(property->name());
    }
    EXPECT_EQ(slots, (std::vector<std::string>{"name", "parent", "size", "tags"}));
    EXPECT_EQ(model->entityNamed("Folder")->relationshipNamed("parent"),
              leaf->relationshipNamed("parent"));
}

struct BrokenDefinitionCase {
    std::string_view title;
    std::function<void(LdModelDefinition&)> breakIt;
    std::string_view expectedProblem;
};

TEST(LdObjectModelTest, InconsistentDefinitionsAreRefusedWithTheirProblems) {
    using enum LdAttributeType;
    using enum LdRelationshipKind;
    const std::vector<BrokenDefinitionCase> cases = {
            {"missing inverse",
             [](LdModelDefinition& d) { entityIn(d, "Leaf")->relationships[0].inverse = ""; },
             "Leaf.tags: no inverse"},
            {"inverse that names another relationship",
             [](LdModelDefinition& d) {
                 entityIn(d, "Tag")->relationships.push_back({"extra", "Leaf", "tags", ToMany});
             },
             "Tag.extra: inverse Leaf.tags names leaves as its inverse"},
            {"unknown destination",
             [](LdModelDefinition& d) {
                 entityIn(d, "Leaf")->relationships[0].destination = "Label";
             },
             "Leaf.tags: unknown destination Label"},
            {"inverse declared on the destination's parent",
             [](LdModelDefinition& d) {
                 entityIn(d, "Tag")->relationships.push_back({"nodes", "Leaf", "parent", ToMany});
             },
             "is declared on Node, not on the destination"},
            {"inverse leading elsewhere",
             [](LdModelDefinition& d) {
                 entityIn(d, "Tag")->relationships.push_back(
                         {"owner", "Folder", "children", ToOne});
             },
             "Tag.owner: inverse Folder.children leads to Node, not back to Tag"},
            {"inverse that is an attribute",
             [](LdModelDefinition& d) {
                 entityIn(d, "Tag")->relationships.push_back({"sized", "Leaf", "size", ToOne});
             },
             "inverse Leaf.size is an attribute"},
            {"missing inverse relationship",
             [](LdModelDefinition& d) { entityIn(d, "Leaf")->relationships[0].inverse = "labels"; },
             "inverse Tag.labels does not exist"},
            {"property repeating an inherited one",
             [](LdModelDefinition& d) {
                 entityIn(d, "Leaf")->attributes.push_back({"name", String});
             },
             "Leaf.name is already declared on Node"},
            {"property declared twice",
             [](LdModelDefinition& d) {
                 entityIn(d, "Tag")->attributes.push_back({"label", String});
             },
             "Tag.label is declared twice"},
            {"siblings disagreeing on a shared column",
             [](LdModelDefinition& d) {
                 entityIn(d, "Folder")->attributes.push_back({"size", String});
             },
             "differs from"},
            {"abstract entity without subentities",
             [](LdModelDefinition& d) { entityIn(d, "Tag")->isAbstract = true; },
             "Tag: abstract entity without subentities"},
            {"unknown superentity",
             [](LdModelDefinition& d) { entityIn(d, "Leaf")->superentity = "Thing"; },
             "Leaf: unknown superentity Thing"},
            {"inheritance cycle",
             [](LdModelDefinition& d) { entityIn(d, "Node")->superentity = "Leaf"; },
             "inheritance cycle"},
            {"entity declared twice",
             [](LdModelDefinition& d) {
                 d.entities.push_back({"Tag", "LdOtherTag", "", false, {}, {}, {}});
             },
             "entity Tag is declared twice"},
            {"class naming two entities",
             [](LdModelDefinition& d) { entityIn(d, "Tag")->className = "LdLeaf"; },
             "class LdLeaf names two entities"},
            {"index on an unknown property",
             [](LdModelDefinition& d) { entityIn(d, "Node")->indexes.push_back({"weight"}); },
             "Node: index element weight"},
            {"index on a to-many relationship",
             [](LdModelDefinition& d) { entityIn(d, "Folder")->indexes.push_back({"children"}); },
             "Folder: index element children"},
            {"index on a transient attribute",
             [](LdModelDefinition& d) {
                 entityIn(d, "Leaf")->attributes.push_back({"cache", Binary, true});
                 entityIn(d, "Leaf")->indexes.push_back({"cache"});
             },
             "Leaf: index element cache"},
    };
    for (const BrokenDefinitionCase& testCase : cases) {
        LdModelDefinition definition = smallDefinition();
        testCase.breakIt(definition);
        std::vector<std::string> problems;
        EXPECT_EQ(LdObjectModel::modelWithDefinition(definition, &problems), nullptr)
                << testCase.title;
        bool found = std::any_of(problems.begin(), problems.end(), [&](const std::string& problem) {
            return problem.find(testCase.expectedProblem) != std::string::npos;
        });
        EXPECT_TRUE(found) << testCase.title << ": "
                           << (problems.empty() ? std::string("no problem reported")
                                                : problems.front());
    }
}
