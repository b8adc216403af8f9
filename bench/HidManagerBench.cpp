// HID manager figures over the virtual backend:
// - event latency: from a report entering a virtual board to the event callback, median and 99th
//   percentile in microseconds (counters "median_us" and "p99_us");
// - one periodic scan of an unchanged system with 40 HID interfaces, 2 of them ours and 30 held
//   by the system the way Windows holds keyboards and mice (no read or write open works, the
//   zero-access probe does): CPU time per scan, and the open attempts made after the first scan
//   (counter "opens_after_first_scan", which must be 0);
// - Stop with four devices open and their reads pending (real time).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "hid/HidManager.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kBoardVid = 0x04D8;
constexpr std::uint16_t kBoardPid = 0xE6B0;
constexpr std::uint16_t kPanelVid = 0x2E8A;
constexpr std::uint16_t kPanelPid = 0x10F0;

HidManagerSettings Settings() {
    HidManagerSettings settings;
    settings.vendorId = 0x04D8;
    settings.productId = 0xE6B0;
    settings.devices = {HidDeviceTarget{0x04D8, 0xE6B0, PanelRole::G1000},
                        HidDeviceTarget{0x2E8A, 0x10F0, PanelRole::TouchPanel}};
    settings.scanIntervalMs = 600000;  // scans only when the benchmark asks
    return settings;
}

HidProtocol::DeviceInfo Info(std::uint8_t first) {
    HidProtocol::DeviceInfo info;
    info.firmwareMajor = 1;
    info.boardId = {first, 1, 2, 3, 4, 5, 6, 7};
    return info;
}

void BM_EventLatency(benchmark::State& state) {
    VirtualHidBackend backend;
    auto board = backend.Plug(
        VirtualPanelBoardSetup("hid#board", kBoardVid, kBoardPid, Info(0xE6), std::nullopt));
    HidManager manager(backend);
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<Clock::rep> arrivedAt{0};
    (void)manager.Start(Settings(), [&](const HidProtocol::HidEvent&, const std::string&, int) {
        arrivedAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        delivered.fetch_add(1, std::memory_order_release);
    });
    board->WaitForPendingRead(std::chrono::seconds(5));

    HidProtocol::HidEvent event;
    event.type = HidProtocol::kControlTypeButton;
    event.value = 1;
    std::vector<double> samples;
    std::uint64_t expected = 0;
    for (auto _ : state) {
        const Clock::rep sentAt = Clock::now().time_since_epoch().count();
        board->SendEvent(event);
        ++expected;
        while (delivered.load(std::memory_order_acquire) < expected) {
        }
        const double us = std::chrono::duration<double, std::micro>(
                              Clock::duration(arrivedAt.load(std::memory_order_relaxed) - sentAt))
                              .count();
        samples.push_back(us);
        state.SetIterationTime(us / 1e6);
    }
    manager.Stop();
    if (!samples.empty()) {
        std::sort(samples.begin(), samples.end());
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
        state.counters["max_us"] = samples.back();
    }
}
BENCHMARK(BM_EventLatency)->UseManualTime()->Iterations(20000)->Unit(benchmark::kMicrosecond);

std::size_t OpenAttempts(const VirtualHidBackend& backend) {
    std::size_t attempts = 0;
    for (const auto& device : backend.Devices()) {
        for (HidOpenPurpose purpose :
             {HidOpenPurpose::Probe, HidOpenPurpose::Read, HidOpenPurpose::Write}) {
            attempts += device->OpenAttempts(purpose);
        }
    }
    return attempts;
}

void BM_UnchangedScan40Interfaces(benchmark::State& state) {
    VirtualHidBackend backend;
    for (int i = 0; i < 38; ++i) {
        VirtualHidDeviceSetup other = VirtualTouchPanelSetup(
            "\\\\?\\hid#vid_046d&pid_c52b&mi_0" + std::to_string(i % 4) + "#7&2a3b4c5d&0&" +
                std::to_string(i) + "#{4d1e55b2-f16f-11cf-88cb-001111000030}",
            0x046D, static_cast<std::uint16_t>(0xC500 + i), "other");
        other.systemOwned = i < 30;  // keyboards and mice
        backend.Plug(other);
    }
    backend.Plug(VirtualPanelBoardSetup(
        "\\\\?\\hid#vid_04d8&pid_e6b0#8&1f2e3d4c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
        kBoardVid, kBoardPid, Info(0xE6), std::nullopt));
    backend.Plug(VirtualTouchPanelSetup(
        "\\\\?\\hid#vid_2e8a&pid_10f0#8&5a6b7c8d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
        kPanelVid, kPanelPid, "TP-1"));
    HidManager manager(backend);
    (void)manager.Start(Settings(), nullptr);
    const std::size_t afterFirstScan = OpenAttempts(backend);
    for (auto _ : state) {
        manager.Scan();
    }
    state.counters["open_devices"] = static_cast<double>(manager.ListDevices().size());
    state.counters["opens_after_first_scan"] =
        static_cast<double>(OpenAttempts(backend) - afterFirstScan);
    manager.Stop();
}
BENCHMARK(BM_UnchangedScan40Interfaces)->Unit(benchmark::kMicrosecond);

void BM_StopFourDevicesReadsPending(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        VirtualHidBackend backend;
        std::vector<std::shared_ptr<VirtualHidDevice>> boards;
        for (std::uint8_t i = 0; i < 4; ++i) {
            boards.push_back(backend.Plug(VirtualPanelBoardSetup(
                "hid#board" + std::to_string(i), kBoardVid, kBoardPid, Info(i), std::nullopt)));
        }
        auto manager = std::make_unique<HidManager>(backend);  // the real 1000 ms read slice
        (void)manager->Start(Settings(), nullptr);
        for (const auto& board : boards) {
            board->WaitForPendingRead(std::chrono::seconds(5));
        }
        state.ResumeTiming();
        manager->Stop();
        state.PauseTiming();
        manager.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_StopFourDevicesReadsPending)
    ->UseRealTime()
    ->Iterations(50)
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
