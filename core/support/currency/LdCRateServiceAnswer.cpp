// Reading the rate service's property-list answer into one decimal rate.
#include "core/support/currency/LdCRateServiceAnswer.h"

#include <string_view>

#include "core/support/plist/LdPropertyList.h"

namespace {

bool fail(LdError* error, std::string_view description) {
    return failWith(error, LdError::errorWithTitle("_ERROR", description));
}

}  // namespace

std::optional<LdDecimal> LdCRateServiceAnswer::rateWithData(const LdData& data, LdError* error) {
    LdError readError;
    const std::optional<LdValue> answer = LdPropertyList::propertyListWithData(data, &readError);
    if (!answer) {
        if (error != nullptr) {
            *error = readError;
        }
        return std::nullopt;
    }
    return rateWithPropertyList(*answer, error);
}

std::optional<LdDecimal> LdCRateServiceAnswer::rateWithPropertyList(const LdValue& answer,
                                                                    LdError* error) {
    const LdValue* table = answer.find("table");
    if (table == nullptr || !table->isArray()) {
        fail(error, "The exchange-rate answer has no table.");
        return std::nullopt;
    }
    if (table->arrayValue().size() != 1) {
        fail(error, "The exchange-rate answer does not hold exactly one rate.");
        return std::nullopt;
    }
    const LdValue& row = table->arrayValue().front();
    if (!row.isDictionary()) {
        fail(error, "The exchange-rate answer's row is no dictionary.");
        return std::nullopt;
    }
    const std::optional<LdDecimal> rate = decimalFromRateValue(row.find("rate"));
    if (!rate) {
        fail(error, "The exchange-rate answer's rate is no number.");
        return std::nullopt;
    }
    if (rate->isZero() || rate->isNegative()) {
        fail(error, "The exchange-rate answer's rate is not greater than zero.");
        return std::nullopt;
    }
    return rate;
}

std::optional<LdDecimal> LdCRateServiceAnswer::decimalFromRateValue(const LdValue* value) {
    if (value == nullptr) {
        return LdDecimal::zero();  // a missing rate reads as zero
    }
    LdDecimal rate;
    if (value->isReal()) {
        rate = LdDecimal::fromDouble(value->doubleValue());
    } else if (value->isInteger()) {
        rate = LdDecimal::fromInt(value->integerValue());
    } else if (value->isDecimal()) {
        rate = value->decimalValue();
    } else if (value->isString()) {
        const std::optional<LdDecimal> parsed = LdDecimal::fromString(value->stringValue());
        if (!parsed) {
            return std::nullopt;
        }
        rate = *parsed;
    } else {
        return std::nullopt;
    }
    if (rate.isNaN()) {
        return std::nullopt;
    }
    return rate;
}
