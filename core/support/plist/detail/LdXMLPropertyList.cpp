// XML property lists, parsed with libxml2 into a tree and converted element by element.
#include "core/support/plist/detail/LdXMLPropertyList.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/support/detail/LdUntrustedXML.h"
#include "core/support/foundation/LdBase64.h"
#include "core/support/plist/detail/LdPropertyListSupport.h"

namespace ld::detail {

namespace {

constexpr std::string_view kUIDKey = "CF$UID";

std::string_view nameOf(const xmlNode* node) {
    return node->name != nullptr ? std::string_view(reinterpret_cast<const char*>(node->name))
                                 : std::string_view();
}

std::string_view contentOf(const xmlNode* node) {
    return node->content != nullptr ? std::string_view(reinterpret_cast<const char*>(node->content))
                                    : std::string_view();
}

bool isXMLWhitespace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool isBlank(std::string_view text) {
    for (const char c : text) {
        if (!isXMLWhitespace(c)) {
            return false;
        }
    }
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isXMLWhitespace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isXMLWhitespace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// "-12", "+7", "0x1F": int64 values as integers, larger positive values up to 2^64 - 1 as decimals.
std::optional<LdValue> parseInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    const auto [end, status] =
            std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (status != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    constexpr auto kMaxSigned =
            static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (negative) {
        if (magnitude > kMaxSigned + 1) {
            return std::nullopt;
        }
        return LdValue(static_cast<std::int64_t>(0 - magnitude));
    }
    if (magnitude > kMaxSigned) {
        return LdValue(LdDecimal::fromParts(magnitude, 0, false));
    }
    return LdValue(static_cast<std::int64_t>(magnitude));
}

// Decimal or exponent notation, "nan", "inf", "+infinity", "-infinity".
std::optional<double> parseReal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return std::nullopt;
        }
    }
    double value = 0.0;
    const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || status != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Converts the parsed document to an LdValue.
class XMLReader {
public:
    std::optional<LdValue> read(std::span<const std::uint8_t> data, LdError* error) {
        LdValue result;
        if (!parse(data, result)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        return result;
    }

private:
    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    bool parse(std::span<const std::uint8_t> data, LdValue& out) {
        LdUntrustedXMLFailure failure = LdUntrustedXMLFailure::None;
        const LdXMLDocument document = ldParseUntrustedXML(data, XML_PARSE_NOCDATA, failure);
        switch (failure) {
            case LdUntrustedXMLFailure::None:
                break;
            case LdUntrustedXMLFailure::TooLarge:
                return fail("The XML property list is too large.");
            case LdUntrustedXMLFailure::NoParser:
                return fail("The XML parser could not be created.");
            case LdUntrustedXMLFailure::DeclaresEntity:
                return fail("The XML property list declares entities.");
            case LdUntrustedXMLFailure::Malformed:
                return fail("The data is no well-formed XML.");
        }
        const xmlNode* root = xmlDocGetRootElement(document.get());
        if (root == nullptr || nameOf(root) != "plist") {
            return fail("The XML document is no property list.");
        }
        const xmlNode* value = nullptr;
        for (const xmlNode* child = root->children; child != nullptr; child = child->next) {
            if (!skippable(child)) {
                if (child->type != XML_ELEMENT_NODE || value != nullptr) {
                    return fail("The plist element must hold exactly one value.");
                }
                value = child;
            }
        }
        if (value == nullptr) {
            return fail("The plist element must hold exactly one value.");
        }
        return convert(value, 0, out);
    }

    // Whether a child node carries nothing: blank text, comments and processing instructions.
    bool skippable(const xmlNode* node) {
        switch (node->type) {
            case XML_TEXT_NODE:
                return isBlank(contentOf(node));
            case XML_COMMENT_NODE:
            case XML_PI_NODE:
                return true;
            default:
                return false;
        }
    }

    // The character content of a leaf element such as <string>.
    bool textOf(const xmlNode* element, std::string& text) {
        text.clear();
        for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
            switch (child->type) {
                case XML_TEXT_NODE:
                case XML_CDATA_SECTION_NODE:
                    text += contentOf(child);
                    break;
                case XML_COMMENT_NODE:
                case XML_PI_NODE:
                    break;
                case XML_ENTITY_REF_NODE:
                    return fail("The XML property list uses an entity reference.");
                default:
                    return fail("A text element of the XML property list holds other elements.");
            }
        }
        return true;
    }

    bool convert(const xmlNode* element, int depth, LdValue& out) {
        const std::string_view name = nameOf(element);
        if (name == "dict") {
            return convertDictionary(element, depth, out);
        }
        if (name == "array") {
            return convertArray(element, depth, out);
        }
        if (name == "true" || name == "false") {
            for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
                if (!skippable(child)) {
                    return fail("A boolean element of the XML property list is not empty.");
                }
            }
            out = LdValue(name == "true");
            return true;
        }
        std::string text;
        if (!textOf(element, text)) {
            return false;
        }
        if (name == "string") {
            out = LdValue(std::move(text));
            return true;
        }
        if (name == "integer") {
            std::optional<LdValue> value = parseInteger(trimmed(text));
            if (!value) {
                return fail("An integer in the XML property list is invalid or out of range.");
            }
            out = std::move(*value);
            return true;
        }
        if (name == "real") {
            const std::optional<double> value = parseReal(trimmed(text));
            if (!value) {
                return fail("A real number in the XML property list is invalid.");
            }
            out = LdValue(*value);
            return true;
        }
        if (name == "date") {
            const std::optional<LdDate> date = parseISO8601Date(trimmed(text));
            if (!date) {
                return fail("A date in the XML property list is invalid.");
            }
            out = LdValue(*date);
            return true;
        }
        if (name == "data") {
            std::optional<LdData> bytes = LdBase64::decode(text);
            if (!bytes) {
                return fail("Data in the XML property list is no valid Base64.");
            }
            out = LdValue(std::move(*bytes));
            return true;
        }
        return fail("The XML property list has an unknown element.");
    }

    // The element children of a container; blank text, comments and instructions are skipped.
    bool elementChildren(const xmlNode* element, std::vector<const xmlNode*>& children) {
        for (const xmlNode* child = element->children; child != nullptr; child = child->next) {
            if (skippable(child)) {
                continue;
            }
            if (child->type != XML_ELEMENT_NODE) {
                return fail("A container of the XML property list holds text.");
            }
            children.push_back(child);
        }
        return true;
    }

    bool convertArray(const xmlNode* element, int depth, LdValue& out) {
        if (depth >= kPlistMaxDepth) {
            return fail("The XML property list is nested too deeply.");
        }
        std::vector<const xmlNode*> children;
        if (!elementChildren(element, children)) {
            return false;
        }
        out = LdValue(LdValue::Array());
        LdValue::Array& items = out.mutableArray();
        items.reserve(children.size());
        for (const xmlNode* child : children) {
            items.emplace_back();
            if (!convert(child, depth + 1, items.back())) {
                return false;
            }
        }
        return true;
    }

    bool convertDictionary(const xmlNode* element, int depth, LdValue& out) {
        if (depth >= kPlistMaxDepth) {
            return fail("The XML property list is nested too deeply.");
        }
        std::vector<const xmlNode*> children;
        if (!elementChildren(element, children)) {
            return false;
        }
        if (children.size() % 2 != 0) {
            return fail("A dictionary of the XML property list has a key without a value.");
        }
        out = LdValue(LdValue::Dictionary());
        LdValue::Dictionary& entries = out.mutableDictionary();
        std::string key;
        for (std::size_t i = 0; i < children.size(); i += 2) {
            if (nameOf(children[i]) != "key") {
                return fail("A dictionary of the XML property list has a value without a key.");
            }
            if (nameOf(children[i + 1]) == "key") {
                return fail("A dictionary of the XML property list has a key without a value.");
            }
            if (!textOf(children[i], key)) {
                return false;
            }
            // A repeated key keeps its last value.
            auto [entry, inserted] = entries.insert_or_assign(key, LdValue());
            if (!convert(children[i + 1], depth + 1, entry->second)) {
                return false;
            }
        }
        // {"CF$UID": n} is how the XML form writes a UID.
        if (entries.size() == 1 && entries.begin()->first == kUIDKey &&
            entries.begin()->second.isInteger()) {
            const std::int64_t uid = entries.begin()->second.integerValue();
            if (uid >= 0 && uid <= std::int64_t{std::numeric_limits<std::uint32_t>::max()}) {
                out = LdValue(LdUID{static_cast<std::uint64_t>(uid)});
            }
        }
        return true;
    }

    std::string failure_;
};

// Writes the platform's XML layout: one element per line, indented with tabs.
class XMLWriter {
public:
    std::optional<LdData> write(const LdValue& value, LdError* error) {
        out_ = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
        if (!writeValue(value, 0)) {
            failWith(error, plistError(failure_));
            return std::nullopt;
        }
        out_ += "</plist>\n";
        return LdData(out_.begin(), out_.end());
    }

private:
    bool fail(std::string_view text) {
        if (failure_.empty()) {
            failure_ = text;
        }
        return false;
    }

    void line(int level, std::string_view text) {
        out_.append(static_cast<std::size_t>(level), '\t');
        out_ += text;
        out_ += '\n';
    }

    // Escapes markup characters and carriage returns (which XML parsers would turn into line
    // feeds).
    bool escaped(std::string_view text, std::string& out) {
        out.clear();
        std::size_t position = 0;
        while (position < text.size()) {
            const std::size_t start = position;
            const std::optional<char32_t> codePoint = decodeUTF8(text, position);
            if (!codePoint) {
                return fail("A string to write is not valid UTF-8.");
            }
            switch (*codePoint) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '\r':
                    out += "&#13;";
                    break;
                default:
                    if ((*codePoint < 0x20 && *codePoint != '\t' && *codePoint != '\n') ||
                        *codePoint == 0xFFFE || *codePoint == 0xFFFF) {
                        return fail("A string to write has a character XML cannot carry.");
                    }
                    out.append(text.substr(start, position - start));
            }
        }
        return true;
    }

    bool writeText(int level, std::string_view tag, std::string_view text) {
        std::string body;
        if (!escaped(text, body)) {
            return false;
        }
        line(level, "<" + std::string(tag) + ">" + body + "</" + std::string(tag) + ">");
        return true;
    }

    void writeData(int level, const LdData& data) {
        line(level, "<data>");
        // Lines of at most 76 columns, counting a tab as 8, but never shorter than 16 (always a
        // multiple of 4, so each line encodes whole byte triples).
        const auto lineLength = static_cast<std::size_t>(std::max(16, 76 - 8 * level));
        const std::string text = LdBase64::encode(data);
        for (std::size_t offset = 0; offset < text.size(); offset += lineLength) {
            line(level, std::string_view(text).substr(offset, lineLength));
        }
        line(level, "</data>");
    }

    bool writeValue(const LdValue& value, int level) {
        switch (value.type()) {
            case LdValue::Type::Null:
                return fail("A null value cannot be written to an XML property list.");
            case LdValue::Type::Bool:
                line(level, value.boolValue() ? "<true/>" : "<false/>");
                return true;
            case LdValue::Type::Integer:
                line(level, "<integer>" + std::to_string(value.integerValue()) + "</integer>");
                return true;
            case LdValue::Type::Real:
                line(level, "<real>" + realText(value.doubleValue()) + "</real>");
                return true;
            case LdValue::Type::String:
                return writeText(level, "string", value.stringValue());
            case LdValue::Type::Data:
                writeData(level, value.dataValue());
                return true;
            case LdValue::Type::Date: {
                const std::optional<std::string> text = formatISO8601Date(value.dateValue());
                if (!text) {
                    return fail("A date to write is out of range.");
                }
                line(level, "<date>" + *text + "</date>");
                return true;
            }
            case LdValue::Type::Decimal:
                return fail("A decimal number cannot be written to a property list.");
            case LdValue::Type::UID:
                if (value.uidValue().value > std::numeric_limits<std::uint32_t>::max()) {
                    return fail("A UID past 32 bits cannot be written to an XML property list.");
                }
                // Written as a dictionary, so it nests like one.
                if (level >= kPlistMaxDepth) {
                    return fail("The property list to write is nested too deeply.");
                }
                line(level, "<dict>");
                line(level + 1, "<key>CF$UID</key>");
                line(level + 1,
                     "<integer>" + std::to_string(value.uidValue().value) + "</integer>");
                line(level, "</dict>");
                return true;
            case LdValue::Type::Array:
                return writeArray(value.arrayValue(), level);
            case LdValue::Type::Dictionary:
                return writeDictionary(value.dictionaryValue(), level);
        }
        return false;
    }

    bool writeArray(const LdValue::Array& items, int level) {
        if (level >= kPlistMaxDepth) {
            return fail("The property list to write is nested too deeply.");
        }
        if (items.empty()) {
            line(level, "<array/>");
            return true;
        }
        line(level, "<array>");
        for (const LdValue& item : items) {
            if (!writeValue(item, level + 1)) {
                return false;
            }
        }
        line(level, "</array>");
        return true;
    }

    bool writeDictionary(const LdValue::Dictionary& entries, int level) {
        if (level >= kPlistMaxDepth) {
            return fail("The property list to write is nested too deeply.");
        }
        if (entries.empty()) {
            line(level, "<dict/>");
            return true;
        }
        line(level, "<dict>");
        for (const auto& [key, item] : entries) {
            if (!writeText(level + 1, "key", key) || !writeValue(item, level + 1)) {
                return false;
            }
        }
        line(level, "</dict>");
        return true;
    }

    // The shortest text that reads back as the same double.
    static std::string realText(double value) {
        if (std::isnan(value)) {
            return "nan";
        }
        if (std::isinf(value)) {
            return value > 0 ? "+infinity" : "-infinity";
        }
        char buffer[64];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        return std::string(buffer, result.ptr);
    }

    std::string out_;
    std::string failure_;
};

}  // namespace

std::optional<LdValue> readXMLPropertyList(std::span<const std::uint8_t> data, LdError* error) {
    return XMLReader().read(data, error);
}

std::optional<LdData> writeXMLPropertyList(const LdValue& value, LdError* error) {
    return XMLWriter().write(value, error);
}

}  // namespace ld::detail
