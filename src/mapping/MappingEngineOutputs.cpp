// The output side of the engine: the panel-lighting level from the MobiFlight module, and the
// output worker that hands every open board its LED state.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "config/AppConfig.h"
#include "config/OutputProfile.h"
#include "log/Logger.h"
#include "mapping/MappingEngine.h"
#include "mapping/OutputState.h"
#include "mapping/SimStatus.h"
#include "platform/Threads.h"

namespace tarnwick {
namespace {

constexpr std::chrono::seconds kRefreshPeriod{1};

// printf "%f": the level as the log line shows it, whatever its size.
std::string FormatFixed(double value) {
    const int length = std::snprintf(nullptr, 0, "%f", value);
    if (length <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::snprintf(buffer.data(), buffer.size(), "%f", value);
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

}  // namespace

void MappingEngine::OnMobiFlightText(const std::string& text) {
    double level = 0.0;
    if (ParseLightingLevel(text, level)) {
        if (with_.simStatus != nullptr) {
            with_.simStatus->SetLighting(level);
        }
        std::string message = "State update: backlight ";
        message.append(kLightingVariable).append("=").append(FormatFixed(level));
        Logger::Instance().Debug(message);
        RequestOutputRefresh();
        return;
    }
    if (text.size() >= kLightingVariable.size() &&
        text.find(kLightingVariable) != std::string::npos) {
        std::string message = "Backlight LVar payload received but could not be parsed: ";
        message.append(text);
        Logger::Instance().Log(LogLevel::Warn, message);
    }
}

void MappingEngine::RequestOutputRefresh() {
    {
        std::lock_guard<std::mutex> lock(outputMutex_);
        refreshPending_ = true;
        refreshRequestTime_ = clock_.Now();
    }
    outputCv_.notify_one();
}

void MappingEngine::SetSimConnected(bool connected) {
    simConnected_.store(connected);
}

void MappingEngine::OutputWorker() {
    platform::NameCurrentThread("tw-map-outputs");
    std::unique_lock<std::mutex> lock(outputMutex_);
    while (running_.load()) {
        // Read afresh each round: a reload may bring new outputs.
        const std::shared_ptr<const AppConfig> config = Records().config;
        const std::chrono::milliseconds debounce(config != nullptr ? config->outputs.debounceMs
                                                                   : 0);
        // Wake path for both waits: RequestOutputRefresh and Stop notify outputCv_.
        const Clock::TimePoint latest = clock_.Now() + kRefreshPeriod;
        if (!refreshPending_) {
            while (running_.load() && !refreshPending_ && clock_.Now() < latest) {
                clock_.WaitUntil(outputCv_, lock, latest);
            }
        }
        if (!running_.load()) {
            return;
        }
        if (refreshPending_) {
            if (debounce.count() > 0) {
                // Every new request moves refreshRequestTime_, so a burst folds into one refresh
                // debounce after its last request. A stream of requests that never pauses (the
                // lighting knob turned for seconds) must not starve the boards, so the wait never
                // goes past a second after the previous refresh.
                auto due = [&] { return std::min(refreshRequestTime_ + debounce, latest); };
                while (running_.load() && clock_.Now() < due()) {
                    clock_.WaitUntil(outputCv_, lock, due());
                }
            }
            refreshPending_ = false;
        }
        lock.unlock();
        RefreshOutputs();
        lock.lock();
    }
}

void MappingEngine::RefreshOutputs() {
    const std::shared_ptr<const AppConfig> config = Records().config;
    LedOutputPort* leds = with_.leds;
    if (config == nullptr || leds == nullptr || with_.simStatus == nullptr) {
        return;
    }
    const SimStatus::Battery battery = with_.simStatus->ReadBattery();
    const SimStatus::Lighting lighting = with_.simStatus->ReadLighting();
    const bool simConnected = simConnected_.load();

    for (const PanelBoard& board : leds->ListDevices()) {
        if (IsOutputSuppressed(board)) {
            continue;
        }
        const OutputProfile* profile =
            ResolveOutputProfile(*config, FindOutputDevice(*config, board.name, board.index));
        if (profile == nullptr) {
            continue;
        }
        leds->SendLedState(board, ComputeLedState(*profile, simConnected, battery, lighting));
    }
}

}  // namespace tarnwick
