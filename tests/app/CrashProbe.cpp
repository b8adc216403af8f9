// Fails on purpose, after setting up the log and the crash handlers as TarnwickHID does: the
// crash tests run it and look for the one line a failure must leave before the process ends.
// Arguments: the log folder, then "throw" (an exception nobody catches) or "crash" (or anything
// else: a write through a null pointer).
#include <stdexcept>
#include <string>

#include "app/SystemServices.h"
#include "log/Logger.h"

int main(int argc, char** argv) {
    using namespace tarnwick;
    InstallCrashHandlers();
    if (argc < 3) {
        return 2;
    }
    Logger::Instance().Init(argv[1], "TarnwickHID", false);
    const std::string mode = argv[2];
    if (mode == "throw") {
        throw std::runtime_error("probe failure");
    }
    volatile int* volatile nowhere = nullptr;
    *nowhere = 42;  // "crash"
    return 0;
}
