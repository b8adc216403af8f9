// The mapping engine in a whole virtual cockpit (virtual boards, real HID manager, real SimConnect
// and MobiFlight clients, the virtual simulator's module):
// - press of a configured button on a board until the module has executed its command, median
//   and 99th percentile;
// - CPU time of the engine's three workers over 10 s with nothing happening;
// - CPU time of the engine's workers over 10 s while one map control is held (10 ms repeat), and
//   the cadence of those repeats.
// - the same hand-off between two bare threads (a condition variable), measured alike, as the
//   floor that the scheduler sets for each of the press's three thread hops.
// - the CPU a bare thread spends waking every 15 ms for 10 s: the floor of the SimConnect
//   worker's message pump on this machine.
// With --raised-priority the input path's threads run a step above normal priority, as they do
// on Windows (this needs the right to lower a nice value, for example root).
// Per-thread CPU comes from /proc/self/task/<tid>/schedstat (nanoseconds on the CPU), so this
// benchmark runs on Linux only.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "CockpitRig.h"
#include "platform/Threads.h"
#include "sim/ForwardingSimConnectApi.h"
#include "sim/MobiFlightProtocol.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;
using test::CockpitRig;

constexpr std::uint16_t kSoftkey = 50;
constexpr std::uint16_t kMapLeft = 40;

// Passes every call to the virtual simulator and notes the moment each calculator-code command
// reaches the module (the virtual module reads a command inside SetClientData), so that the
// benchmarks can wait for commands without polling the simulator.
class StampingSimConnectApi final : public ForwardingSimConnectApi {
public:
    struct Stamp {
        Clock::time_point time;
        std::string text;
    };

    using ForwardingSimConnectApi::ForwardingSimConnectApi;

    std::size_t CommandCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_.size();
    }
    std::vector<Stamp> Stamps() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stamps_;
    }
    // Blocks until at least `count` commands have reached the module; false after `timeout`.
    bool WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return stamps_.size() >= count; });
    }
    void ClearStamps() {
        std::lock_guard<std::mutex> lock(mutex_);
        stamps_.clear();
    }

    SimConnectResult SetClientData(SimConnectHandle h, std::uint32_t area, std::uint32_t d,
                                   std::uint32_t f, std::uint32_t r, std::uint32_t size,
                                   const void* data) override {
        const SimConnectResult result = inner_.SetClientData(h, area, d, f, r, size, data);
        const auto now = Clock::now();
        if (result >= 0 && MobiFlightProtocol::IsCommandArea(area) && data != nullptr) {
            std::string text =
                MobiFlightProtocol::BlockText(static_cast<const std::uint8_t*>(data), size);
            if (text.rfind(MobiFlightProtocol::kRpnPrefix, 0) == 0) {
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    stamps_.push_back(
                        Stamp{now, text.substr(MobiFlightProtocol::kRpnPrefix.size())});
                }
                cv_.notify_all();
            }
        }
        return result;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Stamp> stamps_;
};

// A rig whose module commands are stamped.
struct StampedRig {
    explicit StampedRig(test::CockpitOptions options) {
        options.decorate = [this](SimConnectApi& inner) -> SimConnectApi& {
            stamping = std::make_unique<StampingSimConnectApi>(inner);
            return *stamping;
        };
        rig = std::make_unique<CockpitRig>(std::move(options));
    }
    std::unique_ptr<StampingSimConnectApi> stamping;  // outlives the rig
    std::unique_ptr<CockpitRig> rig;
};

// Nanoseconds the threads have spent on a CPU.
std::uint64_t CpuNs(const std::set<long>& threads) {
    std::uint64_t total = 0;
    for (long tid : threads) {
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/schedstat");
        std::uint64_t ns = 0;
        if (in >> ns) {
            total += ns;
        }
    }
    return total;
}

// Starts the rig and returns the ids of the engine's worker threads, known by their names.
std::set<long> StartAndFindEngineThreads(CockpitRig& rig) {
    rig.Start();
    std::set<long> engine;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string name;
        if (std::getline(comm, name) && name.rfind("tw-map-", 0) == 0) {
            engine.insert(std::stol(entry.path().filename().string()));
        }
    }
    return engine;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t at = static_cast<std::size_t>(p * static_cast<double>(values.size() - 1));
    return values[at];
}

double Mean(const std::vector<double>& values) {
    double sum = 0.0;
    for (double v : values) {
        sum += v;
    }
    return values.empty() ? 0.0 : sum / static_cast<double>(values.size());
}

void BM_PressToModule(benchmark::State& state) {
    test::CockpitOptions options;
    options.programTiming = true;
    StampedRig stamped(options);
    CockpitRig& rig = *stamped.rig;
    rig.Start();
    // This thread plays the board's USB transfer, which the system completes without waiting
    // for a time slice: it runs at the input path's priority too.
    platform::RaiseCurrentThreadPriority();
    auto& commands = *stamped.stamping;
    std::vector<double> latenciesUs;
    for (auto _ : state) {
        const std::size_t before = commands.CommandCount();
        const auto start = Clock::now();
        rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 1));
        if (!commands.WaitForCommands(before + 1, std::chrono::seconds(2))) {
            state.SkipWithError("press command never reached the module");
            break;
        }
        const auto executed = commands.Stamps()[before].time;
        const double us = std::chrono::duration<double, std::micro>(executed - start).count();
        state.SetIterationTime(us / 1e6);
        latenciesUs.push_back(us);
        // The release's command, then a pause as between two real presses.
        rig.Board(0).SendEvent(CockpitRig::Button(kSoftkey, 0));
        commands.WaitForCommands(before + 2, std::chrono::seconds(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (commands.CommandCount() > 10000) {
            commands.ClearStamps();
        }
    }
    state.counters["p50_us"] = Percentile(latenciesUs, 0.5);
    state.counters["p99_us"] = Percentile(latenciesUs, 0.99);
    state.counters["max_us"] = Percentile(latenciesUs, 1.0);
    rig.Stop();
}
BENCHMARK(BM_PressToModule)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);

void BM_BareHandOff(benchmark::State& state) {
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable done;
    bool stop = false;
    Clock::time_point sent{};
    Clock::time_point received{};
    bool pending = false;
    std::thread receiver([&] {
        platform::RaiseCurrentThreadPriority();
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            wake.wait(lock, [&] { return stop || pending; });
            if (stop) {
                return;
            }
            received = Clock::now();
            pending = false;
            done.notify_one();
        }
    });
    std::vector<double> latenciesUs;
    for (auto _ : state) {
        std::unique_lock<std::mutex> lock(mutex);
        sent = Clock::now();
        pending = true;
        wake.notify_one();
        done.wait(lock, [&] { return !pending; });
        const double us = std::chrono::duration<double, std::micro>(received - sent).count();
        lock.unlock();
        state.SetIterationTime(us / 1e6);
        latenciesUs.push_back(us);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        stop = true;
    }
    wake.notify_one();
    receiver.join();
    state.counters["p50_us"] = Percentile(latenciesUs, 0.5);
    state.counters["p99_us"] = Percentile(latenciesUs, 0.99);
    state.counters["max_us"] = Percentile(latenciesUs, 1.0);
}
BENCHMARK(BM_BareHandOff)->UseManualTime()->Iterations(3000)->Unit(benchmark::kMicrosecond);

void BM_BareWaitEvery15ms(benchmark::State& state) {
    for (auto _ : state) {
        double cpuMs = 0.0;
        std::thread waiter([&cpuMs] {
            std::mutex mutex;
            std::condition_variable never;
            const auto start = platform::CurrentThreadCpuTime();
            std::unique_lock<std::mutex> lock(mutex);
            const auto end = Clock::now() + std::chrono::seconds(10);
            while (Clock::now() < end) {
                never.wait_for(lock, std::chrono::milliseconds(15));
            }
            cpuMs = std::chrono::duration<double, std::milli>(platform::CurrentThreadCpuTime() -
                                                              start)
                        .count();
        });
        waiter.join();
        state.counters["cpu_ms"] = cpuMs;
        state.counters["pct_of_core"] = cpuMs / 100.0;
    }
}
BENCHMARK(BM_BareWaitEvery15ms)->Iterations(1)->Unit(benchmark::kSecond);

void BM_IdleEngineCpu(benchmark::State& state) {
    CockpitRig rig;
    const std::set<long> engine = StartAndFindEngineThreads(rig);
    for (auto _ : state) {
        const std::uint64_t cpuBefore = CpuNs(engine);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double wallNs =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        const double cpuNs = static_cast<double>(CpuNs(engine) - cpuBefore);
        state.counters["engine_threads"] = static_cast<double>(engine.size());
        state.counters["engine_cpu_ms"] = cpuNs / 1e6;
        state.counters["pct_of_core"] = 100.0 * cpuNs / wallNs;
    }
    rig.Stop();
}
BENCHMARK(BM_IdleEngineCpu)->Iterations(1)->Unit(benchmark::kSecond);

void BM_HeldMapControl(benchmark::State& state) {
    test::CockpitOptions options;
    options.mapHoldRepeatMs = 10;
    options.programTiming = true;
    StampedRig stamped(options);
    CockpitRig& rig = *stamped.rig;
    const std::set<long> engine = StartAndFindEngineThreads(rig);
    auto& commands = *stamped.stamping;
    for (auto _ : state) {
        commands.ClearStamps();
        rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 1));
        rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 2));
        commands.WaitForCommands(2, std::chrono::seconds(2));
        const std::uint64_t cpuBefore = CpuNs(engine);
        const auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double wallNs =
            std::chrono::duration<double, std::nano>(Clock::now() - start).count();
        const double cpuNs = static_cast<double>(CpuNs(engine) - cpuBefore);
        rig.Board(0).SendEvent(CockpitRig::Button(kMapLeft, 0));

        // The repeats: every stamp after the press.
        std::vector<Clock::time_point> repeats;
        for (const auto& stamp : commands.Stamps()) {
            if (stamp.text == "(L:MAP_X) 1 - (>L:MAP_X) 1") {
                repeats.push_back(stamp.time);
            }
        }
        std::vector<double> intervalDevUs;
        double intervalSumMs = 0.0;
        for (std::size_t i = 1; i < repeats.size(); ++i) {
            const double ms =
                std::chrono::duration<double, std::milli>(repeats[i] - repeats[i - 1]).count();
            intervalSumMs += ms;
            intervalDevUs.push_back(std::abs(ms - 10.0) * 1000.0);
        }
        // Lateness of each repeat against its due time, following the engine's schedule: the
        // next is due one period after the previous due time, or, after a stall of more than a
        // period, one period after the late repeat. The first due time (the hold's start plus a
        // period) is not seen from outside; it is taken as the earliest that no repeat before
        // the first stall contradicts, since no repeat comes before it is due.
        const auto schedule = [&](Clock::time_point firstDue, std::size_t& firstStall) {
            std::vector<double> lateness;
            firstStall = repeats.size();
            auto due = firstDue;
            for (std::size_t i = 0; i < repeats.size(); ++i) {
                lateness.push_back(
                    std::chrono::duration<double, std::micro>(repeats[i] - due).count());
                due += std::chrono::milliseconds(10);
                if (due <= repeats[i]) {
                    due = repeats[i] + std::chrono::milliseconds(10);
                    firstStall = std::min(firstStall, i + 1);
                }
            }
            return lateness;
        };
        std::vector<double> latenessUs;
        if (!repeats.empty()) {
            std::size_t firstStall = 0;
            const std::vector<double> trial = schedule(repeats[0], firstStall);
            const double earliest = *std::min_element(
                trial.begin(), trial.begin() + static_cast<std::ptrdiff_t>(firstStall));
            latenessUs =
                schedule(repeats[0] + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double, std::micro>(earliest)),
                         firstStall);
        }
        state.counters["engine_cpu_ms"] = cpuNs / 1e6;
        state.counters["pct_of_core"] = 100.0 * cpuNs / wallNs;
        state.counters["repeats"] = static_cast<double>(repeats.size());
        state.counters["mean_interval_ms"] =
            repeats.size() > 1 ? intervalSumMs / static_cast<double>(repeats.size() - 1) : 0.0;
        state.counters["interval_dev_p99_us"] = Percentile(intervalDevUs, 0.99);
        state.counters["interval_dev_max_us"] = Percentile(intervalDevUs, 1.0);
        state.counters["due_dev_mean_us"] = Mean(latenessUs);
        state.counters["due_dev_p99_us"] = Percentile(latenessUs, 0.99);
        state.counters["due_dev_max_us"] = Percentile(latenessUs, 1.0);
    }
    rig.Stop();
}
BENCHMARK(BM_HeldMapControl)->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace
}  // namespace tarnwick

int main(int argc, char** argv) {
    // Our own option, taken out before the benchmark library reads the rest.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--raised-priority") == 0) {
            tarnwick::platform::AllowRaisedPriority(true);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
