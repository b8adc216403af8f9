#include "support/ChildProcess.h"

namespace tarnwick::test {

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options, std::chrono::milliseconds timeout) {
    BackgroundChild child(program, args, options);
    ChildResult result = child.Wait(timeout);
    if (result.exitCode == -1) {
        child.Kill();
    }
    return result;
}

}  // namespace tarnwick::test
