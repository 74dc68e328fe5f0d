// LdIBANChecker: validation of international bank account numbers (ISO 13616, check digits by
// ISO 7064 MOD 97-10), their parts, and the IBANs found in free text.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/support/LdError.h"

struct LdCCountry;

// Stateless; class operations only, safe on any thread. Malformed input gives false or nothing,
// never an error, except in isIBANValid.
class LdIBANChecker {
public:
    // ibanCountryCodesToIBANLengthDictionary — country code to the required IBAN length.
    static const std::map<std::string, std::size_t>& ibanCountryCodesToIBANLengthDictionary();
    // The country codes of that table in search order (DE first).
    static std::vector<std::string> ibanCountryCodes();
    // minIBANLength, maxIBANLength — the smallest and largest lengths of the table.
    static std::size_t minIBANLength();
    static std::size_t maxIBANLength();

    // filteredString: — the text without white space, line breaks and control characters.
    static std::string filteredString(std::string_view text);
    // ibanCountryStringFromIBAN: — the first two characters; nothing below 3 characters.
    static std::optional<std::string> ibanCountryStringFromIBAN(std::string_view iban);
    // ibanParts: — "countryCode" (characters 1-2), "checkSum" (3-4) and "accountIdentifier" (5 to
    // the end); empty for a text shorter than 4 characters.
    static std::map<std::string, std::string> ibanParts(std::string_view iban);
    // isValidIBANLength:forCountryCode: — whether the country (upper-cased) is in the table and
    // the length is its entry.
    static bool isValidIBANLength(std::size_t length, std::string_view countryCode);
    // isValidIBANFormat: — length 5 to 34, the country's length, letters in the country code,
    // digits in the check sum, letters and digits in the account identifier.
    static bool isValidIBANFormat(std::string_view iban);
    // convertIBAN: — the digit string whose remainder modulo 97 is tested: the account identifier,
    // then country code and check sum, every letter replaced by its number (a = 10 ... z = 35).
    static std::string convertIBAN(std::string_view iban);
    // isValidModuloValue: — whether the digit string (2 digits or more) leaves 1 modulo 97.
    static bool isValidModuloValue(std::string_view digits);
    // isValidIBAN: — filtered, then the format test, then the check digits.
    static bool isValidIBAN(std::string_view iban);
    // isIBANValid:error: — true for the empty text; otherwise isValidIBAN, failing with the title
    // "_CONTACT_WARNING_INVALID_IBAN" filled with the IBAN.
    static bool isIBANValid(std::string_view iban, LdError* error = nullptr);

    // countryFromIBAN: — the registry's country of the first two characters (upper-cased).
    static const LdCCountry* countryFromIBAN(std::string_view iban);
    // bankIDFromIBAN: — the bank code at the country's positions (empty text for the countries
    // without one); nothing for an unknown country or an IBAN too short to hold it. Blanks are
    // removed first.
    static std::optional<std::string> bankIDFromIBAN(std::string_view iban);
    // accountIDFromIBAN: — the account number by the country's positions or national rule.
    static std::optional<std::string> accountIDFromIBAN(std::string_view iban);

    // findAnyValidIBANInString: — the first valid IBAN found (upper case, no blanks), or nothing.
    static std::optional<std::string> findAnyValidIBANInString(std::string_view text);
    // findAllValidIBANsInString: — every valid IBAN found, upper case, in the order found (by
    // country in search order, then by position); empty when there is none.
    static std::vector<std::string> findAllValidIBANsInString(std::string_view text);

private:
    // The search behind both find operations; stops at the first hit when `firstOnly`.
    static std::vector<std::string> findValidIBANs(std::string_view text, bool firstOnly);
};
