#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

namespace {

// A self-check of the test harness, not of the product: with TARNWICK_CRASH_TEST=1 this test
// crashes on purpose, and scripts/test requires that ctest then reports a failure.
TEST(CrashGuard, CrashIsReportedAsFailure) {
    const char* flag = std::getenv("TARNWICK_CRASH_TEST");
    if (flag == nullptr || std::string(flag) != "1") {
        GTEST_SKIP() << "set TARNWICK_CRASH_TEST=1 to crash on purpose";
    }
    volatile int* volatile nowhere = nullptr;
    *nowhere = 42;
}

}  // namespace
