// ld_entity_generator: writes the entity classes of the three object models — one class per
// entity with typed accessors over the slots of LdManagedObject — as
// LdEntityClasses.h and LdEntityClasses.cpp into the folder given as its argument
// (core/database/objects/generated in the tree; `make entities` runs it there).
//
// The output depends only on the models and is byte-stable, so a test can compare it with the
// checked-in files. Accessors look their property numbers up by name when first called, so stale
// files still compile after a model change; the currency test reports them.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "core/database/model/LdAttributeDescription.h"
#include "core/database/model/LdEntityDescription.h"
#include "core/database/model/LdObjectModel.h"
#include "core/database/model/LdRelationshipDescription.h"

namespace {

constexpr std::size_t kColumnLimit = 100;
constexpr const char* kIndent = "    ";
constexpr const char* kContinuation = "            ";  // indent plus continuation indent

// Words a member function may not be called: C++ keywords and alternative tokens, and macros
// that the standard headers may define.
const std::set<std::string, std::less<>>& reservedWords() {
    static const std::set<std::string, std::less<>> kWords{
            "alignas",       "alignof",     "and",
            "and_eq",        "asm",         "auto",
            "bitand",        "bitor",       "bool",
            "break",         "case",        "catch",
            "char",          "char8_t",     "char16_t",
            "char32_t",      "class",       "compl",
            "concept",       "const",       "consteval",
            "constexpr",     "constinit",   "const_cast",
            "continue",      "co_await",    "co_return",
            "co_yield",      "decltype",    "default",
            "delete",        "do",          "double",
            "dynamic_cast",  "else",        "enum",
            "explicit",      "export",      "extern",
            "false",         "float",       "for",
            "friend",        "goto",        "if",
            "inline",        "int",         "long",
            "mutable",       "namespace",   "new",
            "noexcept",      "not",         "not_eq",
            "nullptr",       "operator",    "or",
            "or_eq",         "private",     "protected",
            "public",        "register",    "reinterpret_cast",
            "requires",      "return",      "short",
            "signed",        "sizeof",      "static",
            "static_assert", "static_cast", "struct",
            "switch",        "template",    "this",
            "thread_local",  "throw",       "true",
            "try",           "typedef",     "typeid",
            "typename",      "union",       "unsigned",
            "using",         "virtual",     "void",
            "volatile",      "wchar_t",     "while",
            "xor",           "xor_eq",      "final",
            "override",      "assert",      "errno",
            "major",         "minor",       "makedev",
            "unix",          "linux",       "NULL",
            "EOF",           "stdin",       "stdout",
            "stderr",        "offsetof",    "setjmp",
            "va_arg",        "va_start",    "va_end",
            "va_copy"};
    return kWords;
}

// The members an entity class inherits from LdManagedObject and LdEvaluatedObject, its own static
// members, and the helpers the generated bodies call unqualified: an accessor of one of these
// names would hide or replace them.
const std::set<std::string, std::less<>>& baseMemberNames() {
    static const std::set<std::string, std::less<>> kNames{
            // LdManagedObject
            "entity", "objectID", "managedObjectContext", "isInserted", "isUpdated", "isDeleted",
            "isFault", "hasChanges", "isInaccessible", "version", "valueAt", "setValueAt",
            "objectAt", "setObjectAt", "objectsAt", "setObjectsAt", "addObjectAt", "removeObjectAt",
            "insertObjectAt", "valueForKey", "setValueForKey", "objectForKey", "setObjectForKey",
            "objectsForKey", "changedPropertyNumbers", "committedValueAt", "awakeFromInsert",
            "awakeFromFetch", "prepareForDeletion", "willSave", "didSave", "attach", "ensureFilled",
            "relation", "loadedRelation", "canChange", "willChange", "linkToOne", "linkToMany",
            "linkInverse",
            // LdEvaluatedObject
            "evaluatedEntity", "evaluatedObjectID", "evaluatedAttributeValue", "evaluatedTarget",
            "evaluatedTargets",
            // the generated classes
            "entityName", "entityDescription",
            // helpers of the generated .cpp
            "entityInModel", "numberOfProperty", "decimalOrZero", "decimalIfSet", "dateIfSet",
            "valueOrNull", "targetAs", "targetsAs", "managedObjects", "registerClass"};
    return kNames;
}

std::string upperFirst(std::string_view name) {
    std::string result(name);
    if (!result.empty() && result[0] >= 'a' && result[0] <= 'z') {
        result[0] = static_cast<char>(result[0] - 'a' + 'A');
    }
    return result;
}

std::string modelExpression(const LdObjectModel& model) {
    if (&model == &LdObjectModel::ledraModel()) {
        return "LdObjectModel::ledraModel()";
    }
    if (&model == &LdObjectModel::exchangeRateModel()) {
        return "LdObjectModel::exchangeRateModel()";
    }
    return "LdObjectModel::onlineProviderInfoModel()";
}

// What an accessor's declaration says.
struct Signature {
    std::string result;  // "LdDecimal" or "void"
    std::string name;
    std::vector<std::string> parameters;
    bool isConst = false;
    bool isStatic = false;
};

// One accessor: its signature and the lines of its body (without indentation).
struct Accessor {
    Signature signature;
    std::vector<std::string> body;
};

// Lays out `head(parameters)tail` within the column limit the way clang-format does here: on
// one line when it fits, else the parameters aligned after the parenthesis one per line, else
// all of them on a continuation line.
std::string layoutCall(const std::string& indent,
                       const std::string& head,
                       const std::vector<std::string>& parameters,
                       const std::string& tail) {
    std::string joined;
    for (std::size_t index = 0; index < parameters.size(); ++index) {
        joined += (index == 0 ? "" : ", ") + parameters[index];
    }
    std::string oneLine = indent + head + "(" + joined + ")" + tail;
    if (oneLine.size() <= kColumnLimit || parameters.empty()) {
        return oneLine + "\n";
    }
    const std::string opening = indent + head + "(";
    const std::string alignment(opening.size(), ' ');
    std::string aligned = opening;
    bool fits = true;
    for (std::size_t index = 0; index < parameters.size(); ++index) {
        bool last = index + 1 == parameters.size();
        std::string line =
                (index == 0 ? opening : alignment) + parameters[index] + (last ? ")" + tail : ",");
        fits = fits && line.size() <= kColumnLimit;
        aligned += (index == 0 ? "" : alignment) + parameters[index] + (last ? ")" + tail : ",\n");
    }
    if (fits) {
        return aligned + "\n";
    }
    return opening + "\n" + indent + "        " + joined + ")" + tail + "\n";
}

// `lead = value;` on one line, or broken after the `=` with the continuation indent.
std::string layoutAssignment(const std::string& lead, const std::string& value) {
    std::string oneLine = std::string(kIndent) + lead + " = " + value + ";";
    if (oneLine.size() <= kColumnLimit) {
        return oneLine + "\n";
    }
    return std::string(kIndent) + lead + " =\n" + kContinuation + value + ";\n";
}

class Generator {
public:
    // Fails with a message on stderr when the models cannot be written as classes.
    bool prepare();
    std::string header() const;
    std::string source() const;
    // Properties whose accessors carry a suffix, as "Entity.property -> base name".
    const std::vector<std::string>& renamedProperties() const { return renamed_; }

private:
    struct EntityClass {
        const LdEntityDescription* entity = nullptr;
        const LdObjectModel* model = nullptr;
        std::string baseClass;
        std::vector<Accessor> accessors;
        std::vector<std::string> comments;  // by accessor index: a comment line before it, or ""
        std::set<std::string, std::less<>> memberNames;  // own and inherited accessor names
    };

    bool addEntity(const LdObjectModel& model, const LdEntityDescription* entity);
    void addAttribute(EntityClass& entityClass,
                      const LdAttributeDescription* attribute,
                      const std::string& base);
    void addRelationship(EntityClass& entityClass,
                         const LdRelationshipDescription* relationship,
                         const std::string& base);
    static std::vector<std::string> accessorNames(const LdPropertyDescription* property,
                                                  const std::string& base);
    std::string baseNameFor(const EntityClass& entityClass, const LdPropertyDescription* property);
    static std::string declaration(const Signature& signature);
    static std::string definition(const std::string& className, const Accessor& accessor);

    std::vector<EntityClass> classes_;  // bases before subclasses, models in library order
    std::map<const LdEntityDescription*, std::size_t> indexes_;
    std::set<std::string, std::less<>> classNames_;
    std::vector<std::string> renamed_;
};

bool Generator::prepare() {
    for (const LdObjectModel* model :
         {&LdObjectModel::ledraModel(), &LdObjectModel::exchangeRateModel(),
          &LdObjectModel::onlineProviderInfoModel()}) {
        for (const LdEntityDescription* entity : model->entities()) {
            if (!addEntity(*model, entity)) {
                return false;
            }
        }
    }
    return true;
}

// Adds the entity after its superentity, so every class follows the class it derives from.
bool Generator::addEntity(const LdObjectModel& model, const LdEntityDescription* entity) {
    if (indexes_.contains(entity)) {
        return true;
    }
    if (entity->superentity() != nullptr && !addEntity(model, entity->superentity())) {
        return false;
    }
    if (!classNames_.insert(entity->className()).second) {
        std::cerr << "ld_entity_generator: class " << entity->className()
                  << " is used by two entities\n";
        return false;
    }
    if (reservedWords().contains(entity->className())) {
        std::cerr << "ld_entity_generator: " << entity->className() << " is no class name\n";
        return false;
    }
    EntityClass entityClass;
    entityClass.entity = entity;
    entityClass.model = &model;
    if (entity->superentity() != nullptr) {
        const EntityClass& parent = classes_[indexes_.at(entity->superentity())];
        entityClass.baseClass = parent.entity->className();
        entityClass.memberNames = parent.memberNames;
    } else {
        entityClass.baseClass = "LdManagedObject";
    }

    Signature name{"std::string_view", "entityName", {}, false, true};
    entityClass.accessors.push_back({name, {"return \"" + entity->name() + "\";"}});
    entityClass.comments.emplace_back();
    Signature description{"const LdEntityDescription*", "entityDescription", {}, false, true};
    entityClass.accessors.push_back(
            {description,
             {"static const LdEntityDescription* const kEntity = entityInModel(" +
                      modelExpression(model) + ", \"" + entity->name() + "\");",
              "return kEntity;"}});
    entityClass.comments.emplace_back();

    // Own properties only: inherited ones have their accessors in the parent class.
    for (const LdPropertyDescription* property : entity->properties()) {
        if (property->entity() != entity) {
            continue;
        }
        if (const LdAttributeDescription* attribute = property->asAttribute()) {
            if (attribute->attributeType() == LdAttributeType::Transformable) {
                continue;  // no typed form; reachable through valueAt
            }
            addAttribute(entityClass, attribute, baseNameFor(entityClass, property));
        } else {
            addRelationship(entityClass, property->asRelationship(),
                            baseNameFor(entityClass, property));
        }
    }
    indexes_[entity] = classes_.size();
    classes_.push_back(std::move(entityClass));
    return true;
}

// The names of every accessor a property gets for a base name.
std::vector<std::string> Generator::accessorNames(const LdPropertyDescription* property,
                                                  const std::string& base) {
    std::string upper = upperFirst(base);
    std::vector<std::string> names{base, "set" + upper};
    if (const LdAttributeDescription* attribute = property->asAttribute()) {
        if (attribute->attributeType() == LdAttributeType::Decimal) {
            names.push_back(base + "IfSet");
        }
    } else if (property->asRelationship()->isToMany()) {
        names.push_back("add" + upper + "Object");
        names.push_back("remove" + upper + "Object");
        if (property->asRelationship()->isOrdered()) {
            names.push_back("insertObjectIn" + upper + "AtIndex");
        }
    }
    return names;
}

// The property's name, or with "Value" appended (again) while any of its accessor names is a
// keyword, a base member or an accessor the class already has.
std::string Generator::baseNameFor(const EntityClass& entityClass,
                                   const LdPropertyDescription* property) {
    std::string base = property->name();
    auto clashes = [&](const std::string& candidate) {
        for (const std::string& name : accessorNames(property, candidate)) {
            if (reservedWords().contains(name) || baseMemberNames().contains(name) ||
                entityClass.memberNames.contains(name) || classNames_.contains(name)) {
                return true;
            }
        }
        return false;
    };
    while (clashes(base)) {
        base += "Value";
    }
    if (base != property->name()) {
        renamed_.push_back(entityClass.entity->name() + "." + property->name() + " -> " + base);
    }
    return base;
}

void Generator::addAttribute(EntityClass& entityClass,
                             const LdAttributeDescription* attribute,
                             const std::string& base) {
    for (const std::string& name : accessorNames(attribute, base)) {
        entityClass.memberNames.insert(name);
    }
    const std::string setter = "set" + upperFirst(base);
    const std::string number = "static const std::size_t kNumber = numberOfProperty(" +
                               std::string("entityDescription(), \"") + attribute->name() + "\");";
    auto add = [&](Signature signature, std::string bodyLine) {
        // The note goes before the getter, the first accessor of the attribute.
        entityClass.comments.emplace_back(
                attribute->isTransient() && signature.name == base
                        ? "// Transient: kept in memory only, never stored."
                        : "");
        entityClass.accessors.push_back({std::move(signature), {number, std::move(bodyLine)}});
    };
    auto addGetter = [&](const std::string& type, const std::string& expression) {
        add({type, base, {}, true}, "return " + expression + ";");
    };
    auto addSetter = [&](const std::string& type, const std::string& expression) {
        add({"void", setter, {type + " newValue"}}, "setValueAt(kNumber, " + expression + ");");
    };

    switch (attribute->attributeType()) {
        case LdAttributeType::String:
            addGetter("std::string", "valueAt(kNumber).stringValue()");
            addSetter("std::optional<std::string>", "valueOrNull(std::move(newValue))");
            break;
        case LdAttributeType::Boolean:
            addGetter("bool", "valueAt(kNumber).boolValue()");
            addSetter("bool", "LdValue(newValue)");
            break;
        case LdAttributeType::Integer16:
            addGetter("std::int16_t", "static_cast<std::int16_t>(valueAt(kNumber).integerValue())");
            addSetter("std::int16_t", "LdValue(std::int64_t{newValue})");
            break;
        case LdAttributeType::Integer32:
            addGetter("std::int32_t", "static_cast<std::int32_t>(valueAt(kNumber).integerValue())");
            addSetter("std::int32_t", "LdValue(std::int64_t{newValue})");
            break;
        case LdAttributeType::Integer64:
            addGetter("std::int64_t", "valueAt(kNumber).integerValue()");
            addSetter("std::int64_t", "LdValue(newValue)");
            break;
        case LdAttributeType::Decimal:
            addGetter("LdDecimal", "decimalOrZero(valueAt(kNumber))");
            add({"std::optional<LdDecimal>", base + "IfSet", {}, true},
                "return decimalIfSet(valueAt(kNumber));");
            addSetter("std::optional<LdDecimal>", "valueOrNull(newValue)");
            break;
        case LdAttributeType::Double:
        case LdAttributeType::Float:
            addGetter("double", "valueAt(kNumber).doubleValue()");
            addSetter("double", "LdValue(newValue)");
            break;
        case LdAttributeType::Date:
            addGetter("std::optional<LdDate>", "dateIfSet(valueAt(kNumber))");
            addSetter("std::optional<LdDate>", "valueOrNull(newValue)");
            break;
        case LdAttributeType::Binary:
            addGetter("LdData", "valueAt(kNumber).dataValue()");
            addSetter("std::optional<LdData>", "valueOrNull(std::move(newValue))");
            break;
        case LdAttributeType::Transformable:
            break;
    }
}

void Generator::addRelationship(EntityClass& entityClass,
                                const LdRelationshipDescription* relationship,
                                const std::string& base) {
    for (const std::string& name : accessorNames(relationship, base)) {
        entityClass.memberNames.insert(name);
    }
    const std::string upper = upperFirst(base);
    const std::string target = relationship->destinationEntity()->className();
    const std::string number = "static const std::size_t kNumber = numberOfProperty(" +
                               std::string("entityDescription(), \"") + relationship->name() +
                               "\");";
    auto add = [&](Signature signature, std::string bodyLine) {
        entityClass.comments.emplace_back();
        entityClass.accessors.push_back({std::move(signature), {number, std::move(bodyLine)}});
    };
    if (relationship->isToOne()) {
        add({target + "*", base, {}, true}, "return targetAs<" + target + ">(objectAt(kNumber));");
        add({"void", "set" + upper, {target + "* target"}}, "setObjectAt(kNumber, target);");
        return;
    }
    add({"std::vector<" + target + "*>", base, {}, true},
        "return targetsAs<" + target + ">(objectsAt(kNumber));");
    add({"void", "add" + upper + "Object", {target + "* target"}}, "addObjectAt(kNumber, target);");
    add({"void", "remove" + upper + "Object", {target + "* target"}},
        "removeObjectAt(kNumber, target);");
    add({"void", "set" + upper, {"const std::vector<" + target + "*>& targets"}},
        "setObjectsAt(kNumber, managedObjects(targets));");
    if (relationship->isOrdered()) {
        add({"void",
             "insertObjectIn" + upper + "AtIndex",
             {target + "* target", "std::size_t index"}},
            "insertObjectAt(kNumber, target, index);");
    }
}

std::string Generator::declaration(const Signature& signature) {
    std::string head =
            (signature.isStatic ? "static " : "") + signature.result + " " + signature.name;
    return layoutCall(kIndent, head, signature.parameters, signature.isConst ? " const;" : ";");
}

std::string Generator::definition(const std::string& className, const Accessor& accessor) {
    const Signature& signature = accessor.signature;
    std::string head = signature.result + " " + className + "::" + signature.name;
    std::string text =
            layoutCall("", head, signature.parameters, signature.isConst ? " const {" : " {");
    for (const std::string& line : accessor.body) {
        std::string::size_type equals = line.find(" = ");
        if (line.starts_with("static ") && equals != std::string::npos) {
            text += layoutAssignment(line.substr(0, equals),
                                     line.substr(equals + 3, line.size() - equals - 4));
        } else {
            text += std::string(kIndent) + line + "\n";
        }
    }
    return text + "}\n";
}

constexpr const char* kHeaderComment =
        "// Generated by tools/entitygen/LdEntityGenerator.cpp from the object models. Do not "
        "edit:\n"
        "// change the model and run `make entities`.\n";

std::string Generator::header() const {
    std::ostringstream out;
    out << "// LdEntityClasses: one class per entity of the three object models, with typed\n"
           "// accessors over the slots of LdManagedObject.\n"
        << kHeaderComment
        << "//\n"
           "// Each class derives from its superentity's class and declares accessors for the\n"
           "// entity's own properties only, so a superentity's accessors work on every "
           "subentity's\n"
           "// objects. Getters never fail: a missing string, number or binary reads empty, zero "
           "or\n"
           "// false, a missing decimal reads zero (`nameIfSet()` tells it apart), a missing date\n"
           "// reads nullopt. Setters taking an optional clear the value with nullopt; "
           "relationship\n"
           "// setters update the inverse at once (LdManagedObject). Objects belong to their\n"
           "// context; none of these calls transfers ownership.\n"
           "//\n"
           "// Accessor names are the model's property names (with their underscores); a name "
           "that\n"
           "// would clash with a keyword or a member of LdManagedObject gets the suffix "
           "\"Value\".\n"
           "#pragma once\n"
           "\n"
           "// clang-format off\n"
           "// Accessor names follow the object models, underscores included.\n"
           "// NOLINTBEGIN(readability-identifier-naming)\n"
           "\n"
           "#include <cstddef>\n"
           "#include <cstdint>\n"
           "#include <optional>\n"
           "#include <string>\n"
           "#include <string_view>\n"
           "#include <vector>\n"
           "\n"
           "#include \"core/database/model/LdEntityDescription.h\"\n"
           "#include \"core/database/objects/LdManagedObject.h\"\n"
           "#include \"core/support/foundation/LdValue.h\"\n"
           "\n"
           "// Registers the factory of every class below with LdManagedObjectContext, once per\n"
           "// process (later calls do nothing); every context calls it when it is made. A class\n"
           "// that replaces one of these registers its factory after this has run.\n"
           "void ldRegisterEntityClasses();\n"
           "\n";
    for (const EntityClass& entityClass : classes_) {
        out << "class " << entityClass.entity->className() << ";\n";
    }
    const LdObjectModel* model = nullptr;
    for (const EntityClass& entityClass : classes_) {
        const LdEntityDescription* entity = entityClass.entity;
        if (entityClass.model != model) {
            model = entityClass.model;
            out << "\n// Model \"" << model->name() << "\".\n";
        }
        out << "\n// Entity \"" << entity->name() << "\"";
        if (entity->superentity() != nullptr) {
            out << ", a kind of \"" << entity->superentity()->name() << "\"";
        }
        out << (entity->isAbstract() ? " (abstract: its objects are of its subentities)" : "")
            << ".\n";
        out << "class " << entity->className() << " : public " << entityClass.baseClass
            << " {\npublic:\n";
        for (std::size_t index = 0; index < entityClass.accessors.size(); ++index) {
            if (index == 2) {
                out << "\n";
            }
            if (!entityClass.comments[index].empty()) {
                out << kIndent << entityClass.comments[index] << "\n";
            }
            out << declaration(entityClass.accessors[index].signature);
        }
        out << "};\n";
    }
    out << "\n// NOLINTEND(readability-identifier-naming)\n"
           "// clang-format on\n";
    return out.str();
}

std::string Generator::source() const {
    std::ostringstream out;
    out << "// LdEntityClasses: the accessor bodies and the registration of the entity classes.\n"
        << kHeaderComment
        << "#include \"core/database/objects/generated/LdEntityClasses.h\"\n"
           "\n"
           "// clang-format off\n"
           "// Accessor names follow the object models, underscores included.\n"
           "// NOLINTBEGIN(readability-identifier-naming)\n"
           "\n"
           "#include <cassert>\n"
           "#include <memory>\n"
           "#include <mutex>\n"
           "#include <utility>\n"
           "\n"
           "#include \"core/database/model/LdObjectModel.h\"\n"
           "#include \"core/database/objects/LdManagedObjectContext.h\"\n"
           "\n"
           "namespace {\n"
           "\n"
           "const LdEntityDescription* entityInModel(const LdObjectModel& model, std::string_view "
           "name) {\n"
           "    const LdEntityDescription* entity = model.entityNamed(name);\n"
           "    assert(entity != nullptr && \"entity classes older than the model: run make "
           "entities\");\n"
           "    return entity;\n"
           "}\n"
           "\n"
           "// The number of a property in the entity that declares it, which every subentity "
           "keeps.\n"
           "std::size_t numberOfProperty(const LdEntityDescription* entity, std::string_view name) "
           "{\n"
           "    const LdPropertyDescription* property = entity->propertyNamed(name);\n"
           "    assert(property != nullptr && \"entity classes older than the model: run make "
           "entities\");\n"
           "    return property->propertyNumber();\n"
           "}\n"
           "\n"
           "LdDecimal decimalOrZero(const LdValue& value) {\n"
           "    return value.isNull() ? LdDecimal::zero() : value.decimalValue();\n"
           "}\n"
           "\n"
           "std::optional<LdDecimal> decimalIfSet(const LdValue& value) {\n"
           "    if (value.isNull()) {\n"
           "        return std::nullopt;\n"
           "    }\n"
           "    return value.decimalValue();\n"
           "}\n"
           "\n"
           "std::optional<LdDate> dateIfSet(const LdValue& value) {\n"
           "    if (!value.isDate()) {\n"
           "        return std::nullopt;\n"
           "    }\n"
           "    return value.dateValue();\n"
           "}\n"
           "\n"
           "template <typename T>\n"
           "LdValue valueOrNull(std::optional<T> value) {\n"
           "    if (!value) {\n"
           "        return LdValue();\n"
           "    }\n"
           "    return LdValue(std::move(*value));\n"
           "}\n"
           "\n"
           "// Every entity has its class registered, so the object of a target is of the\n"
           "// destination's class or of a subclass.\n"
           "template <typename T>\n"
           "T* targetAs(LdManagedObject* object) {\n"
           "    assert((object == nullptr || dynamic_cast<T*>(object) != nullptr) &&\n"
           "           \"target of another class than its entity's\");\n"
           "    return static_cast<T*>(object);\n"
           "}\n"
           "\n"
           "template <typename T>\n"
           "std::vector<T*> targetsAs(const std::vector<LdManagedObject*>& objects) {\n"
           "    std::vector<T*> targets;\n"
           "    targets.reserve(objects.size());\n"
           "    for (LdManagedObject* object : objects) {\n"
           "        targets.push_back(targetAs<T>(object));\n"
           "    }\n"
           "    return targets;\n"
           "}\n"
           "\n"
           "template <typename T>\n"
           "std::vector<LdManagedObject*> managedObjects(const std::vector<T*>& targets) {\n"
           "    return std::vector<LdManagedObject*>(targets.begin(), targets.end());\n"
           "}\n"
           "\n"
           "template <typename T>\n"
           "void registerClass(const char* className) {\n"
           "    LdManagedObjectContext::registerObjectFactory(\n"
           "            className, []() -> std::unique_ptr<LdManagedObject> { return "
           "std::make_unique<T>(); });\n"
           "}\n"
           "\n"
           "}  // namespace\n"
           "\n"
           "void ldRegisterEntityClasses() {\n"
           "    static std::once_flag once;\n"
           "    std::call_once(once, [] {\n";
    for (const EntityClass& entityClass : classes_) {
        const std::string& className = entityClass.entity->className();
        out << "        registerClass<" << className << ">(\"" << className << "\");\n";
    }
    out << "    });\n"
           "}\n";
    for (const EntityClass& entityClass : classes_) {
        out << "\n// " << entityClass.entity->className() << "\n";
        for (const Accessor& accessor : entityClass.accessors) {
            out << "\n" << definition(entityClass.entity->className(), accessor);
        }
    }
    out << "\n// NOLINTEND(readability-identifier-naming)\n"
           "// clang-format on\n";
    return out.str();
}

// Writes `text` unless the file already holds it, so an unchanged model rebuilds nothing.
bool writeFile(const std::filesystem::path& path, const std::string& text) {
    {
        std::ifstream existing(path, std::ios::binary);
        if (existing) {
            std::ostringstream content;
            content << existing.rdbuf();
            if (content.str() == text) {
                return true;
            }
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::cerr << "ld_entity_generator: cannot write " << path << "\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: ld_entity_generator <output folder>\n";
        return 2;
    }
    const std::filesystem::path folder(argv[1]);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::cerr << "ld_entity_generator: cannot create " << folder << ": " << error.message()
                  << "\n";
        return 1;
    }
    Generator generator;
    if (!generator.prepare()) {
        return 1;
    }
    if (!writeFile(folder / "LdEntityClasses.h", generator.header()) ||
        !writeFile(folder / "LdEntityClasses.cpp", generator.source())) {
        return 1;
    }
    for (const std::string& renamed : generator.renamedProperties()) {
        std::cout << "renamed: " << renamed << "\n";
    }
    return 0;
}
