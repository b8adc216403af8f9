// Runs a program as a user would, with some environment variables changed for it alone, and
// collects its exit code and both output streams byte for byte.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarnwick::test {

struct ChildResult {
    int exitCode = -1;  // -1: could not be started, did not end normally, or still running
    std::string out, err;
};

struct ChildOptions {
    std::map<std::string, std::string> env;  // set in the child's environment
    std::string outputDir{};                 // a folder for the captured streams, child.out/.err
    std::string input{};                     // what the child reads on standard input
    // Standard input stays open after `input` (a read waits for more) until the BackgroundChild
    // is destroyed, as a console does; otherwise it ends after `input`.
    bool keepInputOpen = false;
};

// A child running in the background; destroying it kills a child still running. Each platform's
// backend implements it.
class BackgroundChild {
public:
    BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                    const ChildOptions& options);
    ~BackgroundChild();
    // Waits for the child to end; exitCode -1 when it has not ended within `timeout`.
    ChildResult Wait(std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string streams_;  // the captured streams' paths, less ".out" or ".err"
};

// Runs the child to its end (or kills it after a minute, giving exitCode -1).
inline ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                            const ChildOptions& options) {
    return BackgroundChild(program, args, options).Wait(std::chrono::seconds(60));
}

// Full path of the running test executable (its folder also holds the product executables).
std::string CurrentExecutablePath();

}  // namespace tarnwick::test
