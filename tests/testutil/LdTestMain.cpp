// The main function of every test binary: GoogleTest with the process-wide services set up for tests, so that no
// test writes log files or touches the user's settings.
#include <gtest/gtest.h>

#include "core/support/LdLogger.h"
#include "tests/testutil/LdTestUtil.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    LdLogger::shared().setFolderURL(std::nullopt);
    LdTestEnvironment environment;
    return RUN_ALL_TESTS();
}
