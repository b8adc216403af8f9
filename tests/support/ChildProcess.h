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
    std::chrono::milliseconds elapsed{0};
};

struct ChildOptions {
    std::map<std::string, std::string> env;  // set in the child's environment
    std::string outputDir;                   // a folder for the captured streams
    std::string input;                       // what the child reads on standard input
    // Standard input is a pipe holding `input` that stays open (a read waits for more) until the
    // BackgroundChild is destroyed, as a console does; otherwise a file that ends after `input`.
    bool keepInputOpen = false;
};

// A child running in the background; destroying it kills a child still running.
class BackgroundChild {
public:
    BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                    const ChildOptions& options);
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    bool Started() const;
    // Waits for the child to end; exitCode -1 when it has not ended within `timeout`.
    ChildResult Wait(std::chrono::milliseconds timeout);

    struct Impl;  // the backend's process handles
    struct Release {
        void operator()(Impl* child) const;  // kills a child still running
    };
    using Handle = std::unique_ptr<Impl, Release>;

private:
    Handle impl_;
    std::string streams_;  // the captured streams' paths, less ".out" or ".err"
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// Runs the child to its end (or kills it after `timeout`, giving exitCode -1).
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Full path of the running test executable (its folder also holds the product executables).
std::string CurrentExecutablePath();

// What each backend provides besides Release: starting the child on the given streams, and
// waiting for its exit code (-1 while it runs).
BackgroundChild::Handle Launch(const std::string& program, const std::vector<std::string>& args,
                               const ChildOptions& options, const std::string& streams);
int WaitForExit(BackgroundChild::Impl& child, std::chrono::milliseconds timeout);

}  // namespace tarnwick::test
