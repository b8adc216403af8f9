#include "sim/MobiFlightClient.h"

#include <exception>
#include <utility>

#include "log/Logger.h"
#include "platform/Threads.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"

namespace tarnwick {

namespace mf = MobiFlightProtocol;
using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

void LogInfo(const std::string& message) {
    Logger::Instance().Log(LogLevel::Info, message);
}
void LogWarn(const std::string& message) {
    Logger::Instance().Log(LogLevel::Warn, message);
}
void LogDebug(const std::string& message) {
    Logger::Instance().Debug(message);
}

std::string SecondsText(milliseconds period) {
    return std::to_string(duration_cast<seconds>(period).count());
}

}  // namespace

MobiFlightClient::MobiFlightClient(MobiFlightClientOptions options, const Clock& clock)
    : options_(std::move(options)), clock_(clock) {}

MobiFlightClient::~MobiFlightClient() {
    Stop();
}

MobiFlightClient::TimePoint MobiFlightClient::Now() const {
    return clock_.Now();
}

// --- Lifecycle --------------------------------------------------------------------------------

Result MobiFlightClient::Start(SimConnectClient* simConnect, const MobiFlightSettings& settings) {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    // Checked before anything is copied: a running worker reads the settings and the SimConnect
    // client without a lock.
    if (running_) {
        return Result::Failure("MobiFlight client already running");
    }
    settings_ = settings;
    simConnect_ = simConnect;
    enabled_ = settings.enabled;
    if (!settings.enabled) {
        return Result::Success();
    }

    registered_ = false;
    simConnected_ = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        queue_.Clear();
        registrationPending_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        lastSendValid_ = false;
    }

    if (simConnect_ != nullptr) {
        simConnect_->SetClientDataHandler(
            [this](std::uint32_t requestId, const std::uint8_t* data, std::uint32_t size) {
                OnClientData(requestId, data, size);
            });
    }
    running_ = true;
    Result started = StartThread(worker_, "MobiFlight worker", [this] { WorkerMain(); });
    if (!started) {
        running_ = false;
        if (simConnect_ != nullptr) {
            simConnect_->SetClientDataHandler({});
        }
    }
    return started;
}

void MobiFlightClient::Stop() {
    std::lock_guard<std::mutex> life(lifecycleMutex_);
    if (!running_.exchange(false)) {
        return;
    }
    // Taking the mutex orders the flag before the notification: the worker either sees the flag
    // when it checks its wait condition or is already waiting and gets woken.
    { std::lock_guard<std::mutex> lock(stateMutex_); }
    queueCv_.notify_all();
    if (worker_.joinable()) {
        worker_.join();
    }
    registered_ = false;
    simConnected_ = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        queue_.Clear();
        registrationPending_ = false;
    }
    {
        std::lock_guard<std::mutex> lock(callbackMutex_);
        textHandler_ = nullptr;
    }
    if (simConnect_ != nullptr) {
        simConnect_->SetClientDataHandler({});
    }
}

void MobiFlightClient::SetTextHandler(TextHandler handler) {
    std::lock_guard<std::mutex> lock(callbackMutex_);
    textHandler_ = std::move(handler);
}

bool MobiFlightClient::IsRegistered() const {
    return registered_;
}

// --- Connection and registration --------------------------------------------------------------

void MobiFlightClient::OnSimConnectionChanged(bool connected) {
    if (!enabled_ || !running_) {
        return;
    }
    simConnected_ = connected;
    registered_ = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        queue_.Clear();
        registrationPending_ = false;
    }
    queueCv_.notify_all();

    if (!connected) {
        LogInfo("MobiFlight client waiting for SimConnect");
        return;
    }

    const Result channels = SetUpChannels();
    if (!channels) {
        // No registration until the next connection change: the areas are not usable.
        LogWarn("MobiFlight channel initialization failed: " + channels.Error());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        registrationPending_ = true;
        attempts_ = 0;
        warnedNoAnswer_ = false;
        registrationStart_ = Now();
        lastAttempt_ = TimePoint{};
    }
    queueCv_.notify_all();
}

namespace {

// The first failure of a series of steps, or success when every step succeeded.
template <typename... Steps>
Result FirstFailure(Steps&&... steps) {
    Result outcome = Result::Success();
    // The fold stops at the first step that fails.
    (void)((outcome = steps(), outcome.Ok()) && ...);
    return outcome;
}

}  // namespace

Result MobiFlightClient::SetUpChannels() {
    if (simConnect_ == nullptr) {
        return Result::Failure("SimConnect client unavailable");
    }
    SimConnectClient& sc = *simConnect_;
    const MobiFlightSettings& s = settings_;
    return FirstFailure(
        [&] { return sc.MapClientDataName(s.commandChannel, mf::kCommandAreaId); },
        [&] { return sc.MapClientDataName(s.responseChannel, mf::kResponseAreaId); },
        [&] { return sc.MapClientDataName(s.lvarsChannel, mf::kLVarsAreaId); },
        [&] { return sc.AddClientDataDefinition(mf::kCommandDefinitionId, mf::kCommandBlockSize); },
        [&] {
            return sc.AddClientDataDefinition(mf::kResponseDefinitionId, mf::kResponseBlockSize);
        },
        [&] { return sc.AddClientDataDefinition(mf::kLVarsDefinitionId, mf::kLVarsBlockSize); });
}

void MobiFlightClient::RegistrationStep() {
    const TimePoint now = Now();
    bool warn = false;
    std::int32_t attempt = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!registrationPending_ || registered_ || !simConnected_) {
            return;
        }
        if (attempts_ > 0 && now - lastAttempt_ < options_.timing.registrationRetry) {
            return;
        }
        lastAttempt_ = now;
        attempt = ++attempts_;
        if (!warnedNoAnswer_ && now - registrationStart_ >= options_.timing.noAnswerWarning) {
            warnedNoAnswer_ = true;
            warn = true;
        }
    }
    if (attempt == 2) {
        LogInfo("MobiFlight WASM module not responding yet; retrying registration every " +
                SecondsText(options_.timing.registrationRetry) + "s");
    }
    if (warn) {
        LogWarn("MobiFlight WASM module has not answered registration after " +
                SecondsText(options_.timing.noAnswerWarning) +
                "s; check that the MobiFlight WASM module is installed in the MSFS Community "
                "folder");
    }

    // The answer comes on the configured response channel; the variables are read from the
    // client's own channel once it exists.
    const Result request =
        simConnect_ == nullptr
            ? Result::Failure("SimConnect client unavailable")
            : simConnect_->RequestClientData(mf::kResponseAreaId, mf::kResponseRequestId,
                                             mf::kResponseDefinitionId);
    if (!request) {
        LogDebug("MobiFlight channel request failed: " + request.Error());
    }

    // The module reads its command channel only when the content changes, so a retry identical
    // to the last attempt would never be seen; the dummy in between makes every attempt count.
    std::lock_guard<std::mutex> send(sendMutex_);
    const Result sent = FirstFailure(
        [&] {
            return SendCommand(Channel::Registration,
                               mf::RegistrationCommand(settings_.clientName));
        },
        [&] { return SendCommand(Channel::Registration, std::string(mf::kDummyCommand)); });
    if (!sent) {
        LogDebug("MobiFlight registration send failed: " + sent.Error());
    }
}

Result MobiFlightClient::SetUpClientChannels() {
    if (simConnect_ == nullptr) {
        return Result::Failure("SimConnect client unavailable");
    }
    SimConnectClient& sc = *simConnect_;
    const std::string& name = settings_.clientName;
    return FirstFailure(
        [&] { return sc.MapClientDataName(mf::ClientCommandChannel(name), mf::kClientCommandAreaId); },
        [&] {
            return sc.MapClientDataName(mf::ClientResponseChannel(name), mf::kClientResponseAreaId);
        },
        [&] { return sc.MapClientDataName(mf::ClientLVarsChannel(name), mf::kClientLVarsAreaId); },
        [&] {
            return sc.AddClientDataDefinition(mf::kClientCommandDefinitionId, mf::kCommandBlockSize);
        },
        [&] {
            return sc.AddClientDataDefinition(mf::kClientResponseDefinitionId,
                                              mf::kResponseBlockSize);
        },
        [&] {
            return sc.AddClientDataDefinition(mf::kClientLVarsDefinitionId, mf::kLVarsBlockSize);
        },
        [&] {
            return sc.RequestClientData(mf::kClientResponseAreaId, mf::kClientResponseRequestId,
                                        mf::kClientResponseDefinitionId);
        },
        [&] {
            return sc.RequestClientData(mf::kClientLVarsAreaId, mf::kClientLVarsRequestId,
                                        mf::kClientLVarsDefinitionId);
        });
}

void MobiFlightClient::OnRegistrationAcknowledged() {
    std::int32_t attempts = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!registrationPending_) {
            return;  // a repeated acknowledgement
        }
        registrationPending_ = false;
        attempts = attempts_;
    }
    // The client's channels exist from now on, and only in this connection: each connection
    // maps them afresh, and nothing is sent on them before they are mapped.
    const Result channels = SetUpClientChannels();
    if (!channels) {
        LogWarn("MobiFlight channel initialization failed: " + channels.Error());
        return;
    }
    const std::string& name = settings_.clientName;
    LogInfo("MobiFlight client channels: " + mf::ClientCommandChannel(name) + ", " +
            mf::ClientResponseChannel(name) + ", " + mf::ClientLVarsChannel(name));
    registered_ = true;
    std::string message = "MobiFlight client registered";
    if (attempts >= 2) {
        message += " (after " + std::to_string(attempts) + " attempts)";
    }
    LogInfo(message);
    for (const std::string_view command : {mf::kClearCommand, mf::kSubscribeLightingCommand}) {
        const TimePoint now = Now();
        std::lock_guard<std::mutex> lock(stateMutex_);
        queue_.Push(std::string(command), SendMode::Plain, 1, now, false);
        queueCv_.notify_one();
    }
}

void MobiFlightClient::OnClientData(std::uint32_t requestId, const std::uint8_t* data,
                                    std::uint32_t size) {
    if (!enabled_) {
        return;
    }
    if (requestId == mf::kResponseRequestId || requestId == mf::kClientResponseRequestId) {
        const std::string text = mf::BlockText(data, size);
        if (text.empty()) {
            return;
        }
        if (text.find(mf::RegistrationFinishedAnswer(settings_.clientName)) != std::string::npos) {
            OnRegistrationAcknowledged();
        } else if (text.find(mf::RegistrationErrorAnswer(settings_.clientName)) !=
                   std::string::npos) {
            LogWarn("MobiFlight registration error: " + text);
        }
        return;
    }
    if (requestId == mf::kClientLVarsRequestId) {
        const auto text = mf::DecodeLVarBlock(data, size);
        if (!text || text->empty()) {
            return;
        }
        TextHandler handler;
        {
            std::lock_guard<std::mutex> lock(callbackMutex_);
            handler = textHandler_;
        }
        if (handler) {
            handler(*text);
        }
        LogDebug("MobiFlight LVars: " + *text);
    }
}

// --- The worker -------------------------------------------------------------------------------

void MobiFlightClient::WorkerMain() {
    platform::NameCurrentThread("tw-mobiflight");
    platform::RaiseCurrentThreadPriority();  // on a button press's way to the simulator
    while (running_) {
        RegistrationStep();

        std::optional<CommandEntry> taken;
        {
            std::unique_lock<std::mutex> lock(stateMutex_);
            // Woken by new entries, connection changes and Stop; the time-out keeps the
            // registration step going with an empty queue. Any wake means one more pass. A
            // first registration that became due after this pass's registration step (a
            // connection made meanwhile) is not waited for: its notification came before this
            // wait began.
            const bool registrationDue =
                registrationPending_ && attempts_ == 0 && !registered_ && simConnected_;
            if (running_ && queue_.Empty() && !registrationDue) {
                clock_.WaitUntil(queueCv_, lock, Now() + options_.timing.idleWake);
            }
            if (!running_) {
                return;
            }
            taken = queue_.Take();
        }
        if (!taken) {
            continue;
        }
        CommandEntry& entry = *taken;

        if (!simConnected_) {
            if (!Retry(options_.timing.disconnectedRetry)) {
                return;
            }
            PutBack(std::move(entry));
        } else if (!registered_) {  // the client's own channel exists once registered
            if (!Retry(options_.timing.notReadyRetry)) {
                return;
            }
            PutBack(std::move(entry));
        } else {
            if (!WaitRateLimit()) {
                return;
            }
            // A Counted entry still goes: its record knows whether clicks came after the cancel.
            if (entry.mode == SendMode::Counted || !HeldEntryWithdrawn(entry)) {
                SendEntry(entry);
            }
            FinishSend(entry);
        }
    }
}

bool MobiFlightClient::WaitRateLimit() {
    const std::int32_t limitMs = settings_.rpnRateLimitMs;
    if (limitMs < 1) {
        return true;
    }
    TimePoint last;
    {
        std::lock_guard<std::mutex> lock(sendMutex_);
        if (!lastSendValid_) {
            return true;
        }
        last = lastSendTime_;
    }
    const auto elapsed = duration_cast<milliseconds>(Now() - last).count();
    if (elapsed >= limitMs) {
        return true;
    }
    return Pause(milliseconds(limitMs - elapsed));
}

bool MobiFlightClient::Retry(milliseconds duration) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    if (running_) {
        clock_.WaitUntil(queueCv_, lock, Now() + duration);
    }
    return running_;
}

bool MobiFlightClient::Pause(milliseconds duration) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    // Stop's notification ends the wait early.
    const TimePoint until = Now() + duration;
    while (running_ && Now() < until) {
        clock_.WaitUntil(queueCv_, lock, until);
    }
    return running_;
}

// --- Sending ----------------------------------------------------------------------------------

bool MobiFlightClient::SendEntry(const CommandEntry& entry) {
    std::lock_guard<std::mutex> send(sendMutex_);
    if (entry.mode != SendMode::Counted) {
        return WriteOnce(entry);
    }
    // Clicks that arrive while the repeats go out are picked up by the next look at the record,
    // so one entry carries them all.
    while (running_) {
        std::int32_t n = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            n = queue_.TakeClicks(entry);
        }
        if (n == 0) {
            return true;
        }
        for (std::int32_t i = 0; i < n && running_; ++i) {
            if (!WriteOnce(entry)) {
                return false;
            }
        }
    }
    return true;
}

bool MobiFlightClient::WriteOnce(const CommandEntry& entry) {
    const Result sent = SendCommand(Channel::Client, entry.text);
    if (!sent) {
        LogWarn("MobiFlight send failed: " + sent.Error());
        return false;
    }
    lastSendTime_ = Now();
    lastSendValid_ = true;
    if (entry.sendDummy) {
        const Result dummy = SendCommand(Channel::Client, std::string(mf::kDummyCommand));
        if (!dummy) {
            LogWarn("MobiFlight dummy send failed: " + dummy.Error());
            return false;
        }
    }
    return true;
}

Result MobiFlightClient::SendCommand(Channel channel, const std::string& text) {
    if (simConnect_ == nullptr) {
        return Result::Failure("SimConnect client unavailable");
    }
    if (text.empty()) {
        return Result::Failure("Empty command");
    }
    mf::CommandBlock block;
    if (!mf::BuildCommandBlock(text, block)) {
        return Result::Failure("Command too long (" + std::to_string(text.size()) +
                               " bytes, at most " + std::to_string(mf::kMaxCommandText) + ")");
    }
    const bool client = channel == Channel::Client;
    Result written = simConnect_->SetClientData(
        client ? mf::kClientCommandAreaId : mf::kCommandAreaId,
        client ? mf::kClientCommandDefinitionId : mf::kCommandDefinitionId, block.data(),
        mf::kCommandBlockSize);
    if (written) {
        LogDebug("MobiFlight command: " + text);
    }
    return written;
}

}  // namespace tarnwick
