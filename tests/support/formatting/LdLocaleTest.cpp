#include "core/support/formatting/LdLocale.h"

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

namespace {

// Sets environment variables for one test and restores them afterwards.
class ScopedEnvironment {
public:
    ScopedEnvironment() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.emplace_back(
                    name, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
    }
    ~ScopedEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value) {
                ::setenv(name, value->c_str(), 1);
            } else {
                ::unsetenv(name);
            }
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_NUMERIC", "LANG"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

}  // namespace

TEST(LdLocaleTest, PosixNamesBecomeIcuIdentifiers) {
    const std::vector<std::pair<const char*, const char*>> cases = {
            {"de_DE.UTF-8", "de_DE"}, {"de_DE@euro", "de_DE"},
            {"de-AT", "de_AT"},       {"C", "en_US_POSIX"},
            {"POSIX", "en_US_POSIX"}, {"C.UTF-8", "en_US_POSIX"},
            {"en_US", "en_US"},       {"", ""},
    };
    for (const auto& [name, identifier] : cases) {
        EXPECT_EQ(LdLocale::canonicalIdentifier(name), identifier) << name;
    }
}

TEST(LdLocaleTest, EnvironmentOrderIsLcAllThenLcNumericThenLang) {
    const ScopedEnvironment environment;
    EXPECT_EQ(LdLocale::identifierFromEnvironment(), "en_US_POSIX");
    ::setenv("LANG", "fr_FR.UTF-8", 1);
    EXPECT_EQ(LdLocale::identifierFromEnvironment(), "fr_FR");
    ::setenv("LC_NUMERIC", "de_CH.UTF-8", 1);
    EXPECT_EQ(LdLocale::identifierFromEnvironment(), "de_CH");
    ::setenv("LC_ALL", "C", 1);
    EXPECT_EQ(LdLocale::identifierFromEnvironment(), "en_US_POSIX");
    EXPECT_EQ(LdLocale::currentLocaleIdentifier(), "en_US_POSIX");

    LdLocale::setCurrentLocaleIdentifier("de_DE.UTF-8");
    EXPECT_EQ(LdLocale::currentLocaleIdentifier(), "de_DE");
    LdLocale::setCurrentLocaleIdentifier("");
    EXPECT_EQ(LdLocale::currentLocaleIdentifier(), "en_US_POSIX");
}

TEST(LdLocaleTest, SeparatorsAndCurrencyOfALocale) {
    EXPECT_EQ(LdLocale::decimalSeparator("en_US_POSIX"), ".");
    EXPECT_EQ(LdLocale::decimalSeparator("de_DE"), ",");
    EXPECT_EQ(LdLocale::groupingSeparator("de_DE"), ".");
    EXPECT_EQ(LdLocale::currencyCode("de_DE"), "EUR");
    EXPECT_EQ(LdLocale::currencyCode("ja_JP"), "JPY");
    EXPECT_TRUE(LdLocale::isKnownIdentifier("de_DE"));
    EXPECT_FALSE(LdLocale::isKnownIdentifier("qq_ZZ"));
}
