// Runs a program as a user would, with some environment variables changed for it alone, and
// collects its exit code and both output streams byte for byte.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace tarnwick::test {

struct ChildResult {
    int exitCode = -1;  // -1: could not be started or did not end normally
    std::string out;
    std::string err;
};

// env: variables to set in the child's environment (an empty value sets it empty).
// outputDir: a folder for the captured streams.
ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env, const std::string& outputDir);

// Full path of the running test executable (its folder also holds the product executables).
std::string CurrentExecutablePath();

}  // namespace tarnwick::test
