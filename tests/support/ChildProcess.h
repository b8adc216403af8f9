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
    std::string out;
    std::string err;
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

// A child running in the background.
class BackgroundChild {
public:
    BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                    const ChildOptions& options);
    ~BackgroundChild();  // kills a child still running
    BackgroundChild(const BackgroundChild&) = delete;
    BackgroundChild& operator=(const BackgroundChild&) = delete;

    bool Started() const;
    // Writes to a kept-open standard input, as a user types at the console.
    void Type(const std::string& text);
    // Waits for the child to end; exitCode -1 when it has not ended within `timeout` (it is then
    // left running).
    ChildResult Wait(std::chrono::milliseconds timeout);
    void Kill();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Runs the child to its end (or kills it after `timeout`, giving exitCode -1).
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options,
                     std::chrono::milliseconds timeout = std::chrono::seconds(60));

// Full path of the running test executable (its folder also holds the product executables).
std::string CurrentExecutablePath();

}  // namespace tarnwick::test
