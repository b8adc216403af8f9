// MobiFlight client against the virtual simulator:
// - latency from QueueRpn until the module has read the command (median and 99th percentile);
// - 1,000 clicks of one encoder command within one second: each executed exactly once, never
//   more than one queue entry for the command;
// - how long Stop takes from each state the worker can be in;
// - the cost of queueing a click that merges into a waiting entry.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "sim/ForwardingSimConnectApi.h"
#include "sim/MobiFlightClient.h"
#include "sim/MobiFlightProtocol.h"
#include "sim/SimConnectClient.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
namespace mf = MobiFlightProtocol;

// Passes every call on and notes when a calculator-code command or a dummy has been read by the
// module (the virtual module reads inside SetClientData).
class StampingApi final : public ForwardingSimConnectApi {
public:
    explicit StampingApi(SimConnectApi& inner) : ForwardingSimConnectApi(inner) {}

    std::atomic<std::uint64_t> rpnWrites{0};
    std::atomic<std::int64_t> lastRpnNs{0};
    std::atomic<std::uint64_t> dummyWrites{0};

    SimConnectResult SetClientData(SimConnectHandle h, std::uint32_t a, std::uint32_t d,
                                   std::uint32_t f, std::uint32_t r, std::uint32_t s,
                                   const void* data) override {
        const SimConnectResult result = inner_.SetClientData(h, a, d, f, r, s, data);
        if (mf::IsCommandArea(a) && data != nullptr) {
            const std::string_view text(static_cast<const char*>(data));
            if (text.substr(0, mf::kRpnPrefix.size()) == mf::kRpnPrefix) {
                lastRpnNs = Clock::now().time_since_epoch().count();
                ++rpnWrites;
            } else if (text == mf::kDummyCommand) {
                ++dummyWrites;
            }
        }
        return result;
    }

private:
};

bool WaitFor(const auto& done, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::yield();
    }
    return true;
}

// The simulator, SimConnect (default 15 ms message pump) and the MobiFlight client, registered.
struct Bridge {
    explicit Bridge(MobiFlightSettings settings = {}, bool answer = true) {
        sim.SetRunning(true);
        if (!answer) {
            sim.SetModuleAnswer(ModuleAnswer::Silent);
        }
        (void)client.Start(&simConnect, settings);
        (void)simConnect.Start("TarnwickBench",
                               [this](bool c) { client.OnSimConnectionChanged(c); }, {});
        if (answer) {
            WaitFor([this] { return client.IsRegistered(); });
            // The two subscription commands go out; then the client is idle.
            WaitFor([this] { return client.QueueLength() == 0; });
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } else {
            WaitFor([this] { return simConnect.IsConnected(); });
        }
    }
    std::size_t Executed(const std::string& code) const {
        std::size_t n = 0;
        for (const std::string& c : sim.ExecutedCode()) {
            n += c == "1 " + code ? 1 : 0;
        }
        return n;
    }

    VirtualSimulator sim;
    VirtualSimConnectApi virtualApi{sim};
    StampingApi api{virtualApi};
    SimConnectClient simConnect{api, [this] { return sim.IsRunning(); }};
    MobiFlightClient client;
};

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

// QueueRpn until the module has read the command, with the worker idle in its queue wait each
// time (rate limit 0).
void BM_QueueRpnToModule(benchmark::State& state) {
    Bridge bridge;
    std::vector<double> micros;
    const auto mode = static_cast<SendMode>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < 5000; ++i) {
            const std::uint64_t before = bridge.api.rpnWrites;
            const std::uint64_t dummiesBefore = bridge.api.dummyWrites;
            const auto start = Clock::now();
            (void)bridge.client.QueueRpn("(>K:HEADING_BUG_INC)", mode, 1);
            WaitFor([&] { return bridge.api.rpnWrites != before; });
            const auto reached = Clock::time_point(Clock::duration(bridge.api.lastRpnNs.load()));
            micros.push_back(std::chrono::duration<double, std::micro>(reached - start).count());
            // Let the worker finish the dummy and go back to waiting.
            WaitFor([&] { return bridge.api.dummyWrites != dummiesBefore; });
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    state.counters["samples"] = static_cast<double>(micros.size());
    state.counters["median_us"] = Percentile(micros, 0.5);
    state.counters["p99_us"] = Percentile(micros, 0.99);
    state.counters["max_us"] = Percentile(micros, 1.0);
}
BENCHMARK(BM_QueueRpnToModule)
    ->Arg(static_cast<int>(SendMode::Plain))
    ->Arg(static_cast<int>(SendMode::Dedupe))
    ->Arg(static_cast<int>(SendMode::Counted))
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// 1,000 clicks of one encoder command, one per millisecond.
void BM_EncoderThousandClicks(benchmark::State& state) {
    const std::string code = "(>K:HEADING_BUG_INC)";
    const auto spacing = std::chrono::microseconds(state.range(0));
    std::size_t executed = 0;
    std::size_t maxQueued = 0;
    double lastClickToDoneMs = 0.0;
    double spanMs = 0.0;
    for (auto _ : state) {
        Bridge bridge;
        const auto begin = Clock::now();
        for (int i = 0; i < 1000; ++i) {
            (void)bridge.client.QueueRpn(code, SendMode::Counted, 1);
            maxQueued = std::max(maxQueued, bridge.client.QueuedEntries(code));
            if (spacing.count() > 0) {
                std::this_thread::sleep_until(begin + spacing * (i + 1));
            }
        }
        const auto lastClick = Clock::now();
        WaitFor([&] { return bridge.api.rpnWrites >= 1000; });
        const auto done = Clock::now();
        // Nothing more may arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        executed = bridge.Executed(code);
        lastClickToDoneMs = std::chrono::duration<double, std::milli>(done - lastClick).count();
        spanMs = std::chrono::duration<double, std::milli>(lastClick - begin).count();
    }
    state.counters["executed"] = static_cast<double>(executed);
    state.counters["max_queued"] = static_cast<double>(maxQueued);
    state.counters["clicks_span_ms"] = spanMs;
    state.counters["drain_after_last_ms"] = lastClickToDoneMs;
    if (executed != 1000 || maxQueued > 1) {
        state.SkipWithError("clicks lost, repeated or queued twice");
    }
}
BENCHMARK(BM_EncoderThousandClicks)
    ->Arg(1000)  // one click per millisecond
    ->Arg(0)     // all at once
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

// Stop from each state the worker can be in.
void BM_StopFromEveryState(benchmark::State& state) {
    const auto timeStop = [](MobiFlightClient& client) {
        const auto begin = Clock::now();
        client.Stop();
        return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
    };
    double idle = 0.0;
    double notReady = 0.0;
    double rateLimited = 0.0;
    double sending = 0.0;
    for (auto _ : state) {
        {
            Bridge bridge;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            idle = timeStop(bridge.client);
        }
        {
            Bridge bridge({}, false);
            (void)bridge.client.QueueRpn("1", SendMode::Plain, 1);
            (void)bridge.client.QueueRpn("2", SendMode::Counted, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            notReady = timeStop(bridge.client);
        }
        {
            MobiFlightSettings settings;
            settings.rpnRateLimitMs = 60000;
            Bridge bridge(settings);
            (void)bridge.client.QueueRpn("1", SendMode::Plain, 1);
            (void)bridge.client.QueueRpn("2", SendMode::Plain, 1);
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            rateLimited = timeStop(bridge.client);
        }
        {
            Bridge bridge;
            bridge.sim.SetCallDelay(std::chrono::microseconds(200));
            (void)bridge.client.QueueRpn("1", SendMode::Counted, 10000000);
            WaitFor([&] { return bridge.api.rpnWrites > 10; });
            sending = timeStop(bridge.client);
            bridge.sim.SetCallDelay(std::chrono::microseconds(0));
        }
    }
    state.counters["idle_ms"] = idle;
    state.counters["not_ready_ms"] = notReady;
    state.counters["rate_limit_wait_ms"] = rateLimited;
    state.counters["counted_send_ms"] = sending;
}
BENCHMARK(BM_StopFromEveryState)->Iterations(1)->Unit(benchmark::kMillisecond);

// One click merging into a waiting entry (registration held back, so the entry waits).
void BM_QueueRpnCoalescedClick(benchmark::State& state) {
    Bridge bridge({}, false);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            bridge.client.QueueRpn("(>K:HEADING_BUG_INC)", SendMode::Counted, 1).Ok());
    }
}
BENCHMARK(BM_QueueRpnCoalescedClick);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
