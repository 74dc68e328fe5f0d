// Reading the European Central Bank's daily reference rates. The file looks like
//   <gesmes:Envelope ...><Cube><Cube time="2024-03-15">
//     <Cube currency="USD" rate="1.0892"/> ...
//   </Cube></Cube></gesmes:Envelope>
// and only the Cube elements matter; the envelope and its namespaces are not checked.
#include "core/support/currency/LdCECBRatesParser.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "core/support/detail/LdUntrustedXML.h"

namespace {

constexpr double kSecondsPerDay = 86400.0;

bool fail(LdError* error, std::string_view description) {
    return failWith(error, LdError::errorWithTitle("_ERROR", description));
}

bool isCube(const xmlNode* node) {
    return node->type == XML_ELEMENT_NODE && node->name != nullptr &&
           std::string_view(reinterpret_cast<const char*>(node->name)) == "Cube";
}

// The attribute's value, or nothing when the element has no such attribute.
std::optional<std::string> attribute(const xmlNode* node, const char* name) {
    xmlChar* value = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>(name));
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string text(reinterpret_cast<const char*>(value));
    xmlFree(value);
    return text;
}

bool isDigit(char character) {
    return character >= '0' && character <= '9';
}

// "YYYY-MM-DD" with a real day of the Gregorian calendar.
std::optional<LdCivilDate> parseDay(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') {
        return std::nullopt;
    }
    for (std::size_t index : {0U, 1U, 2U, 3U, 5U, 6U, 8U, 9U}) {
        if (!isDigit(text[index])) {
            return std::nullopt;
        }
    }
    auto number = [&](std::size_t from, std::size_t count) {
        int value = 0;
        for (std::size_t index = from; index < from + count; ++index) {
            value = value * 10 + (text[index] - '0');
        }
        return value;
    };
    LdCivilDate day;
    day.year = number(0, 4);
    day.month = number(5, 2);
    day.day = number(8, 2);
    if (day.year < 1 || day.month < 1 || day.month > 12 || day.day < 1 ||
        day.day > LdCivilDate::daysInMonth(day.year, day.month)) {
        return std::nullopt;
    }
    return day;
}

// Digits with at most one point and at least one digit, greater than zero, exact in 38 digits.
std::optional<LdDecimal> parseRate(std::string_view text) {
    if (text.empty() || text.size() > 64) {
        return std::nullopt;
    }
    bool sawPoint = false;
    bool sawDigit = false;
    for (char character : text) {
        if (character == '.' && !sawPoint) {
            sawPoint = true;
        } else if (isDigit(character)) {
            sawDigit = true;
        } else {
            return std::nullopt;
        }
    }
    if (!sawDigit) {
        return std::nullopt;
    }
    LdDecimalStatus status = LdDecimalStatus::Ok;
    std::optional<LdDecimal> rate = LdDecimal::fromString(text, &status);
    if (!rate || status != LdDecimalStatus::Ok || !(*rate > LdDecimal::zero())) {
        return std::nullopt;
    }
    return rate;
}

// Depth-first list of the Cube elements; the file nests them three deep, so a small bound on the
// depth keeps hostile nesting from costing stack.
void collectCubes(const xmlNode* node, int depth, std::vector<const xmlNode*>& cubes) {
    constexpr int kMaxDepth = 16;
    for (const xmlNode* child = node; child != nullptr; child = child->next) {
        if (child->type != XML_ELEMENT_NODE) {
            continue;
        }
        if (isCube(child)) {
            cubes.push_back(child);
        }
        if (depth < kMaxDepth) {
            collectCubes(child->children, depth + 1, cubes);
        }
    }
}

}  // namespace

bool LdCECBRatesParser::isCurrencyCode(std::string_view code) {
    return code.size() == 3 &&
           std::all_of(code.begin(), code.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::optional<LdCECBRatesParser::Rates> LdCECBRatesParser::ratesWithData(const LdData& data,
                                                                         LdError* error) {
    if (data.empty()) {
        fail(error, "The exchange-rate file is empty.");
        return std::nullopt;
    }
    if (data.size() > kMaxDataSize) {
        fail(error, "The exchange-rate file is too large.");
        return std::nullopt;
    }
    ld::detail::LdUntrustedXMLFailure failure = ld::detail::LdUntrustedXMLFailure::None;
    const ld::detail::LdXMLDocument document = ld::detail::ldParseUntrustedXML(data, 0, failure);
    switch (failure) {
        case ld::detail::LdUntrustedXMLFailure::None:
            break;
        case ld::detail::LdUntrustedXMLFailure::TooLarge:
            fail(error, "The exchange-rate file is too large.");
            return std::nullopt;
        case ld::detail::LdUntrustedXMLFailure::NoParser:
            fail(error, "The XML parser could not be created.");
            return std::nullopt;
        case ld::detail::LdUntrustedXMLFailure::DeclaresEntity:
            fail(error, "The exchange-rate file declares entities.");
            return std::nullopt;
        case ld::detail::LdUntrustedXMLFailure::Malformed:
            fail(error, "The exchange-rate file is no well-formed XML.");
            return std::nullopt;
    }
    const xmlNode* root = xmlDocGetRootElement(document.get());
    if (root == nullptr) {
        fail(error, "The exchange-rate file has no root element.");
        return std::nullopt;
    }

    std::vector<const xmlNode*> cubes;
    collectCubes(root, 0, cubes);
    const xmlNode* dayCube = nullptr;
    for (const xmlNode* cube : cubes) {
        if (xmlHasProp(cube, reinterpret_cast<const xmlChar*>("time")) != nullptr) {
            if (dayCube != nullptr) {
                fail(error, "The exchange-rate file holds more than one day.");
                return std::nullopt;
            }
            dayCube = cube;
        }
    }
    if (dayCube == nullptr) {
        fail(error, "The exchange-rate file names no day.");
        return std::nullopt;
    }
    const std::optional<LdCivilDate> day = parseDay(attribute(dayCube, "time").value_or(""));
    if (!day) {
        fail(error, "The day of the exchange-rate file is no YYYY-MM-DD date.");
        return std::nullopt;
    }

    Rates result;
    result.day = *day;
    const std::int64_t dayNumber = LdCivilDate::daysFromCivil(day->year, day->month, day->day) -
                                   LdCivilDate::kReferenceDayFromUnixEpoch;
    result.date = LdDate::fromReferenceSeconds(static_cast<double>(dayNumber) * kSecondsPerDay);

    for (const xmlNode* cube : cubes) {
        const std::optional<std::string> currency = attribute(cube, "currency");
        if (!currency) {
            continue;  // the envelope's and the day's own Cube elements
        }
        if (cube->parent != dayCube) {
            fail(error, "A rate of the exchange-rate file lies outside its day.");
            return std::nullopt;
        }
        if (!isCurrencyCode(*currency) || *currency == "EUR") {
            fail(error, "The exchange-rate file holds an invalid currency code.");
            return std::nullopt;
        }
        const std::optional<LdDecimal> rate = parseRate(attribute(cube, "rate").value_or(""));
        if (!rate) {
            fail(error, "The exchange-rate file holds an invalid rate.");
            return std::nullopt;
        }
        if (!result.rates.emplace(*currency, *rate).second) {
            fail(error, "The exchange-rate file lists a currency twice.");
            return std::nullopt;
        }
        if (result.rates.size() > kMaxCurrencies) {
            fail(error, "The exchange-rate file lists too many currencies.");
            return std::nullopt;
        }
    }
    if (result.rates.empty()) {
        fail(error, "The exchange-rate file holds no rates.");
        return std::nullopt;
    }
    return result;
}

std::optional<LdDecimal> LdCECBRatesParser::crossRate(const Rates& rates,
                                                      std::string_view from,
                                                      std::string_view to) {
    if (from.empty() || to.empty()) {
        return std::nullopt;
    }
    // Units per euro; the euro itself is 1.
    auto perEuro = [&](std::string_view code) -> std::optional<LdDecimal> {
        if (code == "EUR") {
            return LdDecimal::one();
        }
        const auto found = rates.rates.find(std::string(code));
        if (found == rates.rates.end()) {
            return std::nullopt;
        }
        return found->second;
    };
    const std::optional<LdDecimal> fromRate = perEuro(from);
    const std::optional<LdDecimal> toRate = perEuro(to);
    if (!fromRate || !toRate) {
        return std::nullopt;
    }
    if (from == to) {
        return LdDecimal::one();
    }
    // One `from` is 1/fromRate euro, which buys toRate/fromRate units of `to`.
    const LdDecimal rate = LdDecimal::divide(*toRate, *fromRate);
    if (rate.isNaN()) {
        return std::nullopt;
    }
    return rate;
}
