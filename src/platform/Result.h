// The outcome of an operation that can fail: success, or the message that says why not. The
// message is the text a caller logs or shows as it stands, so it is written for the user.
#pragma once

#include <exception>
#include <string>
#include <thread>
#include <utility>

namespace tarnwick {

class [[nodiscard]] Result {
public:
    static Result Success() { return Result(); }
    static Result Failure(std::string message) { return Result(std::move(message)); }

    bool Ok() const { return !failed_; }
    explicit operator bool() const { return !failed_; }
    // Empty on success.
    const std::string& Error() const { return message_; }

private:
    Result() = default;
    explicit Result(std::string message) : failed_(true), message_(std::move(message)) {}

    bool failed_ = false;
    std::string message_;
};

// Starts `thread` running `body`. A thread the system cannot start is reported the same way by
// every component: "Failed to start WHAT: REASON".
template <typename Body>
Result StartThread(std::thread& thread, const char* what, Body&& body) {
    try {
        thread = std::thread(std::forward<Body>(body));
    } catch (const std::exception& e) {
        return Result::Failure(std::string("Failed to start ") + what + ": " + e.what());
    }
    return Result::Success();
}

}  // namespace tarnwick
