// Makes a crashing test process end with a failing exit code and a "FATAL: unhandled exception"
// line, on every platform, with no error dialog.
#pragma once

namespace tarnwick::test {

void InstallCrashGuard();

}  // namespace tarnwick::test
