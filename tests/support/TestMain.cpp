#include <gtest/gtest.h>

#include "support/CrashGuard.h"

int main(int argc, char** argv) {
    tarnwick::test::InstallCrashGuard();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
