#include <gtest/gtest.h>

namespace tarnwick::test {
// Makes a crashing test process end with a failing exit code and a "FATAL: unhandled exception"
// line, with no error dialog (win32/CrashGuard.cpp). A crash already ends a POSIX process with a
// signal status that ctest reports as a failure.
void InstallCrashGuard();
}  // namespace tarnwick::test

int main(int argc, char** argv) {
#ifdef _WIN32
    tarnwick::test::InstallCrashGuard();
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
