// Many threads at once on one manager: two scanning threads besides the periodic scanner, three
// writers, a thread that plugs and unplugs devices for thousands of rounds (also in the middle of
// pending reads, failed reads and stalled writes), and devices that stay plugged throughout and
// stream input. Built to run under
// ThreadSanitizer; it also checks that no report of a device that stayed plugged is lost,
// duplicated or reordered, and that no report reaches the callback under another device's name.
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HidTestSupport.h"
#include "hid/HidManager.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

constexpr int kChurnRounds = 3000;
constexpr std::uint32_t kReportsPerStableDevice = 4000;
constexpr std::uint32_t kMaxInFlight = 200;  // well below the per-handle buffer of 512

// What the callbacks saw, checked as it arrives.
class Tally {
public:
    void OnEvent(const HidProtocol::HidEvent& event, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint32_t sequence = event.controlId | (std::uint32_t{event.extra} << 16);
        if (name.rfind("C-", 0) == 0) {
            // A churned board sends its own number; it must arrive under its own name.
            if (name != "C-" + std::to_string(sequence)) {
                ++misrouted_;
            }
            return;
        }
        Check(name, sequence);
    }
    void OnSettings(const TelemetryProtocol::Settings& settings, const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (name.rfind("C-", 0) == 0) {
            return;
        }
        Check(name, settings.sequence);
    }
    std::uint32_t Received(const std::string& name) {
        std::lock_guard<std::mutex> lock(mutex_);
        return next_[name];
    }
    int Errors() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outOfOrder_ + misrouted_;
    }

private:
    void Check(const std::string& name, std::uint32_t sequence) {
        std::uint32_t& next = next_[name];
        if (sequence != next) {
            ++outOfOrder_;
        }
        next = sequence + 1;
    }

    std::mutex mutex_;
    std::map<std::string, std::uint32_t> next_;
    int outOfOrder_ = 0;
    int misrouted_ = 0;
};

HidProtocol::HidEvent NumberedEvent(std::uint32_t number) {
    HidProtocol::HidEvent event;
    event.type = HidProtocol::kControlTypeButton;
    event.controlId = static_cast<std::uint16_t>(number & 0xFFFF);
    event.extra = static_cast<std::uint16_t>(number >> 16);
    event.value = 1;
    return event;
}

TEST(HidManagerStress, ScansWritesAndHotplugTogetherLoseNoReportOfAStayingDevice) {
    test::LogCapture logs;  // INFO lines only: DEBUG stays off
    VirtualHidBackend backend;
    HidManager::Options options;
    options.readWaitSlice = 5ms;
    HidManager manager(backend, options);
    Tally tally;

    // Devices that stay plugged for the whole run.
    struct Stable {
        std::shared_ptr<VirtualHidDevice> device;
        std::string name;
        bool panel;
    };
    // The writers never stop: keep only the newest writes of each device.
    auto bounded = [](VirtualHidDeviceSetup setup) {
        setup.writeLogLimit = 64;
        return setup;
    };
    std::vector<Stable> stable = {
        {backend.Plug(bounded(VirtualPanelBoardSetup("hid#s1", test::kBoardVid, test::kBoardPid,
                                                    test::MakeInfo(0x51), test::kProtocol))),
         "51614103E7452D2F", false},
        {backend.Plug(bounded(VirtualPanelBoardSetup("hid#s2", test::kBoardVid, test::kBoardPid,
                                                    std::nullopt, std::nullopt, "STABLE-2"))),
         "STABLE-2", false},
        {backend.Plug(
             bounded(VirtualTouchPanelSetup("hid#s3", test::kPanelVid, test::kPanelPid, "TP-3"))),
         "TP-3", true},
    };
    // Something that is never ours, probed and left alone.
    backend.Plug(VirtualTouchPanelSetup("hid#mouse", 0x046D, 0xC52B, "mouse"));

    manager.SetSettingsCallback([&tally](const TelemetryProtocol::Settings& s,
                                         const std::string& name) { tally.OnSettings(s, name); });
    ASSERT_TRUE(manager.Start(test::DefaultSettings(1),
                              [&tally](const HidProtocol::HidEvent& e, const std::string& name,
                                       int) { tally.OnEvent(e, name); }));
    ASSERT_EQ(manager.ListDevices().size(), 3u);

    std::atomic<bool> done{false};
    std::vector<std::thread> threads;

    // Two scanners besides the periodic one.
    for (int i = 0; i < 2; ++i) {
        threads.emplace_back([&] {
            while (!done.load()) {
                manager.Scan();
            }
        });
    }
    // Three writers.
    threads.emplace_back([&] {
        bool connected = false;
        while (!done.load()) {
            manager.SendSimStatus(connected = !connected);
            (void)manager.HasDevices();
        }
    });
    threads.emplace_back([&] {
        TelemetryProtocol::Values values;
        std::uint16_t sequence = 0;
        while (!done.load()) {
            values[0] = static_cast<float>(sequence);
            (void)manager.SendTelemetry(values, sequence++);
            (void)manager.CountTouchPanels();
        }
    });
    threads.emplace_back([&] {
        std::uint8_t level = 0;
        int round = 0;
        while (!done.load()) {
            for (const HidDeviceEntry& entry : manager.ListDevices()) {
                manager.SendLedState(entry.name, entry.index, HidProtocol::LedState{1, level++});
                if (++round % 7 == 0) {
                    manager.InvalidateLedState(entry.name, entry.index);
                }
            }
            if (round % 500 == 0) {
                manager.SendBootsel();
            }
        }
    });

    // The stable devices stream numbered reports, never too far ahead of the reader.
    std::vector<std::thread> senders;
    for (const Stable& s : stable) {
        senders.emplace_back([&tally, s] {
            for (std::uint32_t n = 0; n < kReportsPerStableDevice; ++n) {
                while (n - tally.Received(s.name) > kMaxInFlight) {
                    std::this_thread::yield();
                }
                if (s.panel) {
                    s.device->SendSettings(
                        TelemetryProtocol::Settings{1, static_cast<std::uint16_t>(n), 1.0f, 2.0f});
                } else {
                    s.device->SendEvent(NumberedEvent(n));
                }
            }
        });
    }

    // Hotplug: up to three churned devices present at a time, boards and panels, some removed
    // while their reader waits.
    std::vector<std::shared_ptr<VirtualHidDevice>> churned;
    std::vector<std::string> present;
    for (int round = 0; round < kChurnRounds; ++round) {
        const std::string path = "hid#churn" + std::to_string(round);
        const std::string name = "C-" + std::to_string(round);
        std::shared_ptr<VirtualHidDevice> device = backend.Plug(bounded(
            round % 3 == 0 ? VirtualTouchPanelSetup(path, test::kPanelVid, test::kPanelPid, name)
                           : VirtualPanelBoardSetup(path, test::kBoardVid, test::kBoardPid,
                                                   std::nullopt, test::kProtocol, name)));
        ASSERT_NE(device, nullptr);
        churned.push_back(device);
        present.push_back(path);
        for (int k = 0; k < 3; ++k) {
            device->SendEvent(NumberedEvent(static_cast<std::uint32_t>(round)));
        }
        if (round % 5 == 0) {
            manager.Scan();
            device->WaitForPendingRead(2ms);
        }
        // Some fail a read (the reader hands them to a scan) or stall their writes.
        if (round % 7 == 1) {
            device->FailNextRead();
        } else if (round % 11 == 2) {
            device->SetWriteStall(2ms);
        }
        if (present.size() > 3) {
            backend.Unplug(present.front());
            present.erase(present.begin());
        }
    }
    for (std::thread& sender : senders) {
        sender.join();
    }
    for (const Stable& s : stable) {
        EXPECT_TRUE(
            test::WaitUntil([&] { return tally.Received(s.name) == kReportsPerStableDevice; }, 30s))
            << s.name << " received " << tally.Received(s.name);
    }
    done.store(true);
    for (std::thread& thread : threads) {
        thread.join();
    }
    manager.Stop();

    EXPECT_EQ(tally.Errors(), 0);
    for (const Stable& s : stable) {
        EXPECT_EQ(s.device->DroppedInputs(), 0u) << s.name;
        EXPECT_EQ(s.device->OpenCount(HidOpenPurpose::Read), 1u) << s.name;
        EXPECT_EQ(s.device->OpenHandleCount(), 0u) << s.name;
        EXPECT_EQ(logs.Matching("HID device connected: " + s.name + " ").size(), 1u) << s.name;
    }
    for (const auto& device : churned) {
        EXPECT_EQ(device->OpenHandleCount(), 0u) << device->Path();
    }
    // Every connection ends in exactly one disconnection, and the churn was seen: most churned
    // devices were opened while they were there.
    const std::size_t connections = logs.Matching("HID device connected:").size();
    EXPECT_EQ(connections, logs.Matching("HID device disconnected:").size());
    EXPECT_GT(connections, static_cast<std::size_t>(kChurnRounds) / 2);
    RecordProperty("connections", static_cast<int>(connections));
    EXPECT_FALSE(manager.HasDevices());
}

}  // namespace
}  // namespace tarnwick
