#include "support/ChildProcess.h"

#include <fstream>

#include "support/TestSupport.h"

namespace tarnwick::test {

BackgroundChild::BackgroundChild(const std::string& program, const std::vector<std::string>& args,
                                 const ChildOptions& options)
    : streams_(options.outputDir + "/child") {
    std::ofstream(streams_ + ".in", std::ios::binary) << options.input;
    impl_ = Launch(program, args, options, streams_);
}

bool BackgroundChild::Started() const {
    return impl_ != nullptr;
}

ChildResult BackgroundChild::Wait(std::chrono::milliseconds timeout) {
    ChildResult result;
    result.exitCode = impl_ != nullptr ? WaitForExit(*impl_, timeout) : -1;
    result.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start_);
    result.out = FileBytes(streams_ + ".out");
    result.err = FileBytes(streams_ + ".err");
    return result;
}

ChildResult RunChild(const std::string& program, const std::vector<std::string>& args,
                     const ChildOptions& options, std::chrono::milliseconds timeout) {
    return BackgroundChild(program, args, options).Wait(timeout);
}

}  // namespace tarnwick::test
