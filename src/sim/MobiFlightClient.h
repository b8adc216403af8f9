// The program's side of the MobiFlight WASM module: registers as a MobiFlight client on the
// configured channels (retrying every 5 s until it answers), then works on the client's own
// channels, which the module creates for it: subscribes the panel-lighting variable, hands what
// the module reports to a text handler, and sends calculator code ("RPN") commands.
// Commands from the event dispatch go through a queue that drops repeated hold commands (Dedupe),
// merges encoder clicks into one entry with a count (Counted) and can space writes by a rate
// limit; one worker serves the queue and the registration. Everything reaches the simulator
// through SimConnectClient.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "config/AppConfig.h"
#include "platform/Clock.h"
#include "platform/Result.h"
#include "sim/MobiFlightCommandQueue.h"

namespace tarnwick {

class SimConnectClient;

// The worker's periods. Tests shorten the waits; the program keeps the defaults.
struct MobiFlightTiming {
    std::chrono::milliseconds registrationRetry{5000};  // between registration attempts
    std::chrono::milliseconds noAnswerWarning{180000};  // unanswered registration: warn once
    std::chrono::milliseconds idleWake{500};            // longest queue wait between passes
    std::chrono::milliseconds disconnectedRetry{100};   // an entry waits for SimConnect
    std::chrono::milliseconds notReadyRetry{50};        // an entry waits for registration
};

struct MobiFlightClientOptions {
    MobiFlightTiming timing;
};

class MobiFlightClient {
public:
    using TextHandler = std::function<void(const std::string& text)>;
    using TimePoint = Clock::TimePoint;

    // `clock` measures the registration schedule, the rate limit and the entries, and runs every
    // wait of the worker; it must outlive the client.
    explicit MobiFlightClient(MobiFlightClientOptions options = {},
                              const Clock& clock = Clock::Steady());
    // Stop. The SimConnect worker may still be inside OnClientData or OnSimConnectionChanged
    // when Stop returns, so the object must outlive that worker (stop SimConnect first).
    ~MobiFlightClient();

    MobiFlightClient(const MobiFlightClient&) = delete;
    MobiFlightClient& operator=(const MobiFlightClient&) = delete;

    // Installs the client-data handler on `simConnect` (not owned; must outlive the client) and
    // starts the worker. With settings.enabled off nothing starts, the result is a success and
    // every later request fails with "MobiFlight disabled". Fails while running ("MobiFlight
    // client already running"), or when the worker cannot start; then the client stays stopped
    // and may be started again.
    Result Start(SimConnectClient* simConnect, const MobiFlightSettings& settings);
    // Wakes and joins the worker (it returns within milliseconds whatever it was doing), drops
    // everything queued, clears the text handler and the client-data handler. Harmless when not
    // running.
    void Stop();

    // Receives the LVar channel's texts, on the SimConnect worker thread.
    void SetTextHandler(TextHandler handler);

    // The SimConnect connection handler's half: every change empties the queue and starts the
    // registration over. SimConnect worker thread.
    void OnSimConnectionChanged(bool connected);
    // The SimConnect client-data handler. SimConnect worker thread.
    void OnClientData(std::uint32_t requestId, const std::uint8_t* data, std::uint32_t size);

    bool IsRegistered() const;

    // Queues "MF.SimVars.Set.1 " + rpn. `count` is the number of clicks a Counted request adds
    // (0 or less queues nothing); other modes ignore it. True also when the request merged into
    // a waiting entry or was dropped as a repeat. A code longer than
    // MobiFlightProtocol::kMaxRpnText (238 bytes) does not fit the command block and is refused,
    // never cut.
    Result QueueRpn(const std::string& rpn, SendMode mode, std::int32_t count);
    // Writes the command (and its dummy) at once on the calling thread, past the queue and the
    // rate limit; only while registered. A write that fails has said why in its own WARN line:
    // that failure only says "MobiFlight write failed".
    Result SendRpnNow(const std::string& rpn);
    // Withdraws waiting requests of this command: queue entries and clicks not yet taken; with
    // `only`, just the requests made in that mode (a button's hold repeats, not its press).
    void CancelRpn(const std::string& rpn, std::optional<SendMode> only = std::nullopt);

    // Diagnostics for tests and benchmarks: entries waiting in the queue, all of them or those
    // of one command.
    std::size_t QueueLength() const;
    std::size_t QueuedEntries(const std::string& rpn) const;

private:
    // Enabled and running; else the reason.
    Result Available() const;
    using CommandEntry = MobiFlightCommandQueue::Entry;

    TimePoint Now() const;
    void WorkerMain();
    void RegistrationStep();
    // The queue's side of the worker, each under stateMutex_; a re-queued entry wakes the wait.
    void PutBack(CommandEntry entry);
    void FinishSend(const CommandEntry& entry);
    // CancelRpn withdrew the entry in the worker's hand, or it belongs to an earlier connection.
    bool HeldEntryWithdrawn(const CommandEntry& entry);
    // False when Stop interrupted the wait.
    bool WaitRateLimit();
    // Waits on queueCv_ until Stop or `duration` on the clock has passed; false when Stop came.
    bool Pause(std::chrono::milliseconds duration);
    // An entry's wait for the connection or the registration: as Pause, but any wake (a new
    // entry, a connection change, the registration) ends it early too.
    bool Retry(std::chrono::milliseconds duration);

    // Where a command goes: the registration on the configured channel, everything else on the
    // client's own.
    enum class Channel { Registration, Client };

    bool SendEntry(const CommandEntry& entry);
    // One command and its dummy; sendMutex_ held by the caller.
    bool WriteOnce(const CommandEntry& entry);
    Result SendCommand(Channel channel, const std::string& text);
    Result SetUpChannels();
    // Maps, defines and subscribes the client's own channels in this connection.
    Result SetUpClientChannels();
    // The module created the client: its channels are mapped, then it counts as registered and
    // the subscription goes out on them. SimConnect worker thread.
    void OnRegistrationAcknowledged();
    const MobiFlightClientOptions options_;
    const Clock& clock_;

    // Set by Start before the worker and the handler exist; read without a lock afterwards.
    SimConnectClient* simConnect_ = nullptr;
    MobiFlightSettings settings_;
    std::atomic<bool> enabled_{true};

    std::atomic<bool> running_{false};
    std::atomic<bool> registered_{false};
    std::atomic<bool> simConnected_{false};

    // Start and Stop from different threads must not both touch the worker.
    std::mutex lifecycleMutex_;
    std::thread worker_;

    // Guards the queue and the registration fields. Never held while sendMutex_ is taken.
    mutable std::mutex stateMutex_;
    // The worker's every wait; Stop, new entries and connection changes notify it.
    std::condition_variable queueCv_;
    MobiFlightCommandQueue queue_;
    bool registrationPending_ = false;
    std::int32_t attempts_ = 0;
    bool warnedNoAnswer_ = false;
    TimePoint registrationStart_{};
    TimePoint lastAttempt_{};

    // Held for one whole send: a command with its dummy, all repeats of a Counted entry, or a
    // registration command; so a dummy always directly follows its command in the channel.
    std::mutex sendMutex_;
    TimePoint lastSendTime_{};  // under sendMutex_
    bool lastSendValid_ = false;

    std::mutex callbackMutex_;
    TextHandler textHandler_;
};

}  // namespace tarnwick
