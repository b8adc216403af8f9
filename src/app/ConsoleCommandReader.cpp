#include "app/ConsoleCommandReader.h"

#include <cmath>
#include <string>

#include "app/Application.h"
#include "log/Logger.h"
#include "platform/Threads.h"

namespace tarnwick {

bool ConsoleLink::With(const std::function<void(Application&)>& action) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (application_ == nullptr) {
        return false;
    }
    action(*application_);
    return true;
}

bool ConsoleLink::EndingLocked() const {
    return application_ == nullptr || application_->StopFlag().load();
}

bool ConsoleLink::Ending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return EndingLocked();
}

bool ConsoleLink::Sleep(std::chrono::milliseconds period) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, period, [this] { return EndingLocked(); });
}

void ConsoleLink::Wake() { wake_.notify_all(); }

void ConsoleLink::Cut() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        application_ = nullptr;
    }
    wake_.notify_all();
}

namespace {

enum class Command { None, Bootsel, Telemetry, Quit };

Command Lookup(std::string line) {
    for (char& c : line) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    if (line == "bootsel" || line == "boot") {
        return Command::Bootsel;
    }
    if (line == "telemetry" || line == "telem") {
        return Command::Telemetry;
    }
    if (line == "quit" || line == "exit") {
        return Command::Quit;
    }
    return Command::None;
}

void StreamSyntheticTelemetry(ConsoleLink& link) {
    Logger::Instance().Log(LogLevel::Info, "Streaming synthetic telemetry for 10s");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int step = 0;
    while (std::chrono::steady_clock::now() < deadline && !link.Ending()) {
        std::chrono::milliseconds interval{0};
        const TelemetryProtocol::Values values = SyntheticTelemetry(step);
        if (!link.With([&](Application& app) {
                (void)app.Hid().SendTelemetry(values, app.NextTelemetrySequence());
                interval = std::chrono::milliseconds(app.Config().telemetryIntervalMs);
            })) {
            break;
        }
        // Interrupted by a stop, so a Ctrl+C ends the stream at its next step.
        link.Sleep(interval);
        ++step;
    }
    Logger::Instance().Log(LogLevel::Info, "Synthetic telemetry finished");
}

}  // namespace

TelemetryProtocol::Values SyntheticTelemetry(int step) {
    const float x = static_cast<float>(step) * 0.05f;
    TelemetryProtocol::Values v;
    v[0] = std::fmod(20.0f * x, 360.0f);
    v[1] = 10.0f * std::sin(x);
    v[2] = 20.0f * std::sin(0.7f * x);
    v[3] = 3.0f * std::sin(0.5f * x);
    v[4] = 0.2f * std::sin(0.9f * x);
    v[5] = 110.0f + 20.0f * std::sin(0.3f * x);
    v[6] = 5500.0f + 200.0f * std::sin(0.2f * x);
    v[7] = 29.92f;
    v[8] = 12.0f;
    v[9] = 27.5f;
    v[10] = std::sin(0.4f * x);
    v[11] = std::fmod(5.0f * x, 360.0f);
    v[12] = std::sin(0.6f * x);
    v[13] = 90.0f;
    return v;
}

void ConsoleCommandReader(std::shared_ptr<ConsoleLink> link, std::istream& input) {
    platform::NameCurrentThread("tw-console");
    Logger::Instance().Log(LogLevel::Info, "Console commands: bootsel, telemetry, quit");
    if (link->Ending()) {
        return;
    }
    std::string line;
    // The read blocks; a stop requested meanwhile is seen after the next line.
    while (std::getline(input, line)) {
        switch (Lookup(line)) {
            case Command::Bootsel:
                Logger::Instance().Log(LogLevel::Info, "Sending BOOTSEL command to devices");
                link->With([](Application& app) { app.Hid().SendBootsel(); });
                break;
            case Command::Telemetry: {
                unsigned panels = 0;
                link->With([&](Application& app) { panels = app.Hid().CountTouchPanels(); });
                if (panels == 0) {
                    Logger::Instance().Log(LogLevel::Warn, "No touch panel connected");
                } else {
                    StreamSyntheticTelemetry(*link);
                }
                break;
            }
            case Command::Quit:
                Logger::Instance().Log(LogLevel::Info, "Stop requested from console");
                link->With([](Application& app) { app.RequestStop(); });
                return;
            case Command::None:
                break;
        }
        if (link->Ending()) {
            return;
        }
    }
}

}  // namespace tarnwick
