#include "core/support/formatting/LdCIbanFormatter.h"

#include <utility>
#include <vector>

#include <gtest/gtest.h>

TEST(LdCIbanFormatterTest, GroupsOfFourAndBack) {
    const std::vector<std::pair<const char*, const char*>> cases = {
            {"DE89370400440532013000", "DE89 3704 0044 0532 0130 00"},
            {"DE89 3704 0044 0532 0130 00", "DE89 3704 0044 0532 0130 00"},
            {" DE 89370400440532013000 ", "DE89 3704 0044 0532 0130 00"},
            {"DE893", "DE89 3"},
            {"DE89", "DE89"},
            {"", ""},
    };
    for (const auto& [iban, shown] : cases) {
        EXPECT_EQ(LdCIbanFormatter::stringForObjectValue(iban), shown) << iban;
        EXPECT_EQ(LdCIbanFormatter::getObjectValue(shown), LdCIbanFormatter::getObjectValue(iban));
    }
    EXPECT_EQ(LdCIbanFormatter::getObjectValue("DE89 3704\t0044"), "DE8937040044");
}
