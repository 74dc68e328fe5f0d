// ld_entity_generator: writes the entity classes of the three object models — one class per
// entity with typed accessors over the slots of LdManagedObject, plus the hand-written members
// that the behaviour declarations give each class — as LdEntityClasses.h and LdEntityClasses.cpp
// into the folder given as its first argument (core/database/objects/generated in the tree;
// `make entities` runs it there with core/database/objects/entities/LdEntityBehaviour.decl).
//
// The output depends only on the models and the declarations and is byte-stable, so a test can
// compare it with the checked-in files. Accessors look their property numbers up by name when
// first called, so stale files still compile after a model change; the currency test reports
// them.
//
// The declarations file, one block per class that gets hand-written members:
//
//   class LdCDEntry {
//   @logsDeletion                 the class's objects tell the deletion logger (kind: entity name)
//   @logsDeletion "AccountList"   the same with a fixed kind
//   @replaces setTitle            generated accessors left out, the hand-written ones replace them
//   #include "core/..."           an include the members need (collected at the header's top)
//   public:
//       ...                       member declarations, pasted into the class as they stand
//   };
//
// Lines outside blocks that start with "//" or are empty are comments.
#include <algorithm>
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
#include <utility>
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
            "valueOrNull", "targetAs", "targetsAs", "managedObjects", "registerClass",
            // the behaviour hooks of LdManagedObject
            "didRefresh", "deletionLogKind", "logDeletion"};
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

// The hand-written part of one class, read from the declarations file.
struct Behaviour {
    std::size_t line = 0;                         // where its block starts, for messages
    std::vector<std::string> members;             // pasted into the class body as they stand
    std::set<std::string, std::less<>> replaced;  // generated accessors left out
    bool logsDeletion = false;
    std::string deletionKind;  // a fixed kind; empty: the entity's own name
};

// Everything the declarations file gives.
struct Declarations {
    std::map<std::string, Behaviour, std::less<>> classes;
    std::set<std::string> systemIncludes;  // "<...>"
    std::set<std::string> localIncludes;   // "\"...\""
};

std::string trimmed(std::string_view text) {
    const std::size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string_view::npos) {
        return {};
    }
    const std::size_t end = text.find_last_not_of(" \t\r");
    return std::string(text.substr(begin, end - begin + 1));
}

std::vector<std::string> words(std::string_view text) {
    std::vector<std::string> result;
    std::istringstream in{std::string(text)};
    for (std::string word; in >> word;) {
        result.push_back(word);
    }
    return result;
}

// Reads the declarations file (see the top of this file). Fails with a message on stderr naming
// the line.
bool readDeclarations(const std::filesystem::path& path, Declarations& declarations) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::cerr << "ld_entity_generator: cannot read " << path << "\n";
        return false;
    }
    auto fail = [&](std::size_t number, const std::string& message) {
        std::cerr << path.string() << ":" << number << ": " << message << "\n";
        return false;
    };
    Behaviour* open = nullptr;
    std::size_t number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const std::string text = trimmed(line);
        if (text.starts_with("#include ")) {
            const std::string target = trimmed(std::string_view(text).substr(9));
            if (target.size() > 2 && target.front() == '<' && target.back() == '>') {
                declarations.systemIncludes.insert(target);
            } else if (target.size() > 2 && target.front() == '"' && target.back() == '"') {
                declarations.localIncludes.insert(target);
            } else {
                return fail(number, "malformed #include");
            }
            continue;
        }
        if (open == nullptr) {
            if (text.empty() || text.starts_with("//")) {
                continue;
            }
            const std::vector<std::string> parts = words(text);
            if (parts.size() != 3 || parts[0] != "class" || parts[2] != "{") {
                return fail(number, "expected `class <name> {`");
            }
            auto [entry, added] = declarations.classes.try_emplace(parts[1]);
            if (!added) {
                return fail(number, "second block for " + parts[1]);
            }
            open = &entry->second;
            open->line = number;
            continue;
        }
        if (text == "};") {
            // No blank lines at the end of the pasted members.
            while (!open->members.empty() && trimmed(open->members.back()).empty()) {
                open->members.pop_back();
            }
            open = nullptr;
            continue;
        }
        if (text.starts_with("@replaces")) {
            const std::vector<std::string> parts = words(text);
            if (parts.size() < 2) {
                return fail(number, "@replaces names no accessor");
            }
            open->replaced.insert(parts.begin() + 1, parts.end());
            continue;
        }
        if (text.starts_with("@logsDeletion")) {
            const std::string kind = trimmed(std::string_view(text).substr(13));
            if (!kind.empty() && (kind.size() < 3 || kind.front() != '"' || kind.back() != '"')) {
                return fail(number, "@logsDeletion takes nothing or a kind in double quotes");
            }
            open->logsDeletion = true;
            open->deletionKind = kind.empty() ? "" : kind.substr(1, kind.size() - 2);
            continue;
        }
        if (text.starts_with("@")) {
            return fail(number, "unknown directive " + words(text)[0]);
        }
        if (open->members.empty() && text.empty()) {
            continue;  // no blank lines at the start either
        }
        open->members.push_back(line);
    }
    if (open != nullptr) {
        return fail(open->line, "block not closed by `};`");
    }
    return true;
}

class Generator {
public:
    explicit Generator(Declarations declarations) : declarations_(std::move(declarations)) {}

    // Fails with a message on stderr when the models cannot be written as classes, or the
    // declarations name a class or an accessor that does not exist.
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

    // The hand-written part of a class, or nullptr.
    const Behaviour* behaviourOf(const EntityClass& entityClass) const;
    bool applyDeclarations();

    Declarations declarations_;
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
    return applyDeclarations();
}

const Behaviour* Generator::behaviourOf(const EntityClass& entityClass) const {
    auto found = declarations_.classes.find(entityClass.entity->className());
    return found != declarations_.classes.end() ? &found->second : nullptr;
}

// Leaves out the accessors that hand-written members replace.
bool Generator::applyDeclarations() {
    for (const auto& declared : declarations_.classes) {
        const std::string& className = declared.first;
        const Behaviour& behaviour = declared.second;
        auto entityClass = std::find_if(classes_.begin(), classes_.end(), [&](const auto& made) {
            return made.entity->className() == className;
        });
        if (entityClass == classes_.end()) {
            std::cerr << "ld_entity_generator: declarations line " << behaviour.line
                      << ": no entity has the class " << className << "\n";
            return false;
        }
        for (const std::string& name : behaviour.replaced) {
            std::size_t index = 2;  // entityName and entityDescription stay
            while (index < entityClass->accessors.size() &&
                   entityClass->accessors[index].signature.name != name) {
                ++index;
            }
            if (index == entityClass->accessors.size()) {
                std::cerr << "ld_entity_generator: declarations line " << behaviour.line << ": "
                          << className << " has no generated accessor " << name << "\n";
                return false;
            }
            // A note on the first accessor of a property moves to the next one left.
            if (!entityClass->comments[index].empty() && index + 1 < entityClass->comments.size() &&
                entityClass->comments[index + 1].empty()) {
                entityClass->comments[index + 1] = entityClass->comments[index];
            }
            entityClass->accessors.erase(entityClass->accessors.begin() +
                                         static_cast<std::ptrdiff_t>(index));
            entityClass->comments.erase(entityClass->comments.begin() +
                                        static_cast<std::ptrdiff_t>(index));
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
        "// Generated by tools/entitygen/LdEntityGenerator.cpp from the object models and the\n"
        "// behaviour declarations in core/database/objects/entities/LdEntityBehaviour.decl. Do "
        "not\n"
        "// edit: change the model or the declarations and run `make entities`. The hand-written\n"
        "// members (derived values, caches, insertion, deletion, refresh) are defined in\n"
        "// core/database/objects/entities/*.cpp.\n";

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
           "\n";
    if (!declarations_.systemIncludes.empty() || !declarations_.localIncludes.empty()) {
        out << "// Included for the hand-written members.\n";
        for (const std::string& include : declarations_.systemIncludes) {
            out << "#include " << include << "\n";
        }
        if (!declarations_.systemIncludes.empty() && !declarations_.localIncludes.empty()) {
            out << "\n";
        }
        for (const std::string& include : declarations_.localIncludes) {
            out << "#include " << include << "\n";
        }
        out << "\n";
    }
    out << "// Registers the factory of every class below with LdManagedObjectContext, once per\n"
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
        if (const Behaviour* behaviour = behaviourOf(entityClass)) {
            if (behaviour->logsDeletion) {
                out << kIndent << "// Tells the deletion logger, with this kind, before deletion.\n"
                    << kIndent << "std::optional<std::string> deletionLogKind() const override;\n";
            }
            if (!behaviour->members.empty()) {
                out << "\n"
                    << kIndent
                    << "// Hand-written (LdEntityBehaviour.decl; defined in entities/).\n";
                for (const std::string& member : behaviour->members) {
                    out << member << "\n";
                }
            }
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
        const Behaviour* behaviour = behaviourOf(entityClass);
        if (behaviour != nullptr && behaviour->logsDeletion) {
            const std::string kind = behaviour->deletionKind.empty()
                                             ? "std::string(entity()->name())"
                                             : "std::string(\"" + behaviour->deletionKind + "\")";
            out << "\nstd::optional<std::string> " << entityClass.entity->className()
                << "::deletionLogKind() const {\n"
                << kIndent << "return " << kind << ";\n"
                << "}\n";
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
    if (argc != 3) {
        std::cerr << "usage: ld_entity_generator <output folder> <behaviour declarations>\n";
        return 2;
    }
    Declarations declarations;
    if (!readDeclarations(argv[2], declarations)) {
        return 1;
    }
    const std::filesystem::path folder(argv[1]);
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error) {
        std::cerr << "ld_entity_generator: cannot create " << folder << ": " << error.message()
                  << "\n";
        return 1;
    }
    Generator generator(std::move(declarations));
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
