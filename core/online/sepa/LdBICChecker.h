// LdBICChecker: the layout test of bank identifier codes (ISO 9362) with the accepted country
// codes.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/support/LdError.h"

// Stateless; class operations only, safe on any thread.
class LdBICChecker {
public:
    // getValidCountryCode — the accepted country codes of characters 5-6.
    static const std::set<std::string, std::less<>>& getValidCountryCode();

    // isValidBICLength: — 8 or 11 characters.
    static bool isValidBICLength(std::string_view bic);
    // isValidBankCode: — characters 1-4, upper-cased, all letters.
    static bool isValidBankCode(std::string_view bic);
    // isValidCountryCode: — characters 5-6, upper-cased, in the accepted list.
    static bool isValidCountryCode(std::string_view bic);
    // isValidLocationCode: — characters 7-8, upper-cased, each a digit or letter.
    static bool isValidLocationCode(std::string_view bic);
    // isValidBranchCode: — characters 9-11, upper-cased, each a digit or letter.
    static bool isValidBranchCode(std::string_view bic);
    // countryCodeFromBIC: — characters 5-6 upper-cased; nothing below 8 characters.
    static std::optional<std::string> countryCodeFromBIC(std::string_view bic);
    // isValidBIC: — length, bank, country and location codes, and for 11 characters the branch.
    static bool isValidBIC(std::string_view bic);
    // isBICValid:error: — true for the empty text; otherwise isValidBIC, failing with the title
    // "_CONTACT_WARNING_INVALID_BIC" filled with the BIC.
    static bool isBICValid(std::string_view bic, LdError* error = nullptr);
};
