// The one way from the detached console command thread to the Application. The Application cuts
// the link before it is destroyed; after that the thread finds nothing to act on and ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tarnwick {

class Application;

class ConsoleLink {
public:
    explicit ConsoleLink(Application* application) : application_(application) {}

    // Runs `action` with the Application while it lives (holding the link, so the Application
    // cannot go away meanwhile). False when the link is cut.
    bool With(const std::function<void(Application&)>& action);

    // True when the link is cut or the Application asked to stop.
    bool Ending();

    // Waits `period`, or less when the link is cut, Wake is called or a stop is requested.
    // True when the wait ran its full time with nothing ending.
    bool Sleep(std::chrono::milliseconds period);
    void Wake();

    // Called by the Application's destructor: waits for an action in progress, then cuts.
    void Cut();

private:
    bool EndingLocked() const;

    std::mutex mutex_;
    std::condition_variable wake_;  // Cut and Wake
    Application* application_;
};

}  // namespace tarnwick
