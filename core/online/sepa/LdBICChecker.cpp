// BIC checks: four bank letters, an accepted country, two location and three branch characters.
#include "core/online/sepa/LdBICChecker.h"

#include "core/support/LdStrings.h"

namespace {

constexpr std::string_view kAlphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

char upper(char character) {
    return character >= 'a' && character <= 'z' ? static_cast<char>(character - 'a' + 'A')
                                                : character;
}

// Whether characters [start, start + count) exist and each, upper-cased, is in `allowed`.
bool charactersIn(std::string_view bic,
                  std::size_t start,
                  std::size_t count,
                  std::string_view allowed) {
    if (bic.size() < start + count) {
        return false;
    }
    for (std::size_t index = start; index < start + count; ++index) {
        if (allowed.find(upper(bic[index])) == std::string_view::npos) {
            return false;
        }
    }
    return true;
}

}  // namespace

const std::set<std::string, std::less<>>& LdBICChecker::getValidCountryCode() {
    // The accepted codes in their historic order, then BQ, CW, CX, SS, SX and XK.
    static const std::set<std::string, std::less<>> kCodes = {
            "CY", "CF", "EH", "EX", "WF", "VN", "GB", "DE", "US", "CH", "AT", "AE", "VE", "VA",
            "VU", "UZ", "UY", "UM", "HU", "UA", "UG", "TV", "TC", "TM", "TR", "TN", "CZ", "TD",
            "TA", "TT", "TO", "TK", "TG", "TH", "TZ", "TW", "TJ", "SY", "SZ", "SJ", "SR", "GS",
            "SD", "ZA", "VC", "PM", "LC", "KN", "SH", "LK", "SO", "SI", "SK", "SG", "ZW", "SL",
            "SC", "RS", "SN", "SE", "SA", "ST", "SM", "WS", "ZM", "MF", "BL", "SB", "RU", "RO",
            "RW", "RE", "PR", "PL", "PN", "PH", "PE", "PY", "PG", "PA", "PW", "PS", "PK", "TL",
            "OM", "NO", "NF", "MP", "NU", "NG", "NE", "AN", "NI", "NZ", "NC", "NP", "NR", "NA",
            "MM", "MZ", "MS", "ME", "MN", "MC", "MD", "FM", "MX", "MK", "YT", "MU", "MR", "MQ",
            "MH", "MA", "MT", "ML", "MV", "MY", "MW", "MG", "MO", "LU", "LT", "LI", "LY", "LR",
            "LB", "LV", "LS", "LA", "KW", "CU", "HR", "KR", "KP", "CG", "CD", "KM", "CO", "CC",
            "KI", "KG", "KE", "QA", "KZ", "CV", "IC", "CA", "CM", "KH", "KY", "YU", "JO", "JE",
            "YE", "JP", "JM", "IL", "IS", "IE", "IR", "IQ", "IM", "ID", "IN", "HK", "HN", "HM",
            "HT", "GY", "GW", "GN", "GG", "GT", "GU", "GP", "GL", "GR", "GD", "GI", "GH", "GE",
            "GM", "GA", "TF", "PF", "GF", "FX", "FI", "FJ", "FO", "FK", "EU", "EE", "ER", "SV",
            "EC", "DJ", "DO", "DM", "DG", "DK", "CI", "CR", "CK", "CP", "CN", "CL", "EA", "BI",
            "BF", "BG", "BN", "IO", "VG", "BR", "BV", "BW", "BA", "BO", "BT", "BM", "BJ", "BZ",
            "BY", "BB", "BD", "BH", "BS", "AU", "ET", "AZ", "AC", "AW", "AM", "AR", "GQ", "AG",
            "AQ", "AI", "AO", "AD", "VI", "AS", "DZ", "AL", "AX", "EG", "AF", "PT", "ES", "NL",
            "BE", "IT", "FR", "BQ", "CW", "CX", "SS", "SX", "XK",
    };
    return kCodes;
}

bool LdBICChecker::isValidBICLength(std::string_view bic) {
    return bic.size() == 8 || bic.size() == 11;
}

bool LdBICChecker::isValidBankCode(std::string_view bic) {
    return charactersIn(bic, 0, 4, kAlphabet.substr(10));
}

bool LdBICChecker::isValidCountryCode(std::string_view bic) {
    if (bic.size() < 6) {
        return false;
    }
    return getValidCountryCode().count(std::string{upper(bic[4]), upper(bic[5])}) > 0;
}

bool LdBICChecker::isValidLocationCode(std::string_view bic) {
    return charactersIn(bic, 6, 2, kAlphabet);
}

bool LdBICChecker::isValidBranchCode(std::string_view bic) {
    return charactersIn(bic, 8, 3, kAlphabet);
}

std::optional<std::string> LdBICChecker::countryCodeFromBIC(std::string_view bic) {
    if (bic.size() < 8) {
        return std::nullopt;
    }
    return std::string{upper(bic[4]), upper(bic[5])};
}

bool LdBICChecker::isValidBIC(std::string_view bic) {
    if (!isValidBICLength(bic) || !isValidBankCode(bic) || !isValidCountryCode(bic) ||
        !isValidLocationCode(bic)) {
        return false;
    }
    return bic.size() != 11 || isValidBranchCode(bic);
}

bool LdBICChecker::isBICValid(std::string_view bic, LdError* error) {
    if (bic.empty() || isValidBIC(bic)) {
        return true;
    }
    const std::string title =
            LdStrings::localizedFormat("_CONTACT_WARNING_INVALID_BIC", {std::string(bic)});
    return failWith(error, LdError::errorWithTitle(title, ""));
}
