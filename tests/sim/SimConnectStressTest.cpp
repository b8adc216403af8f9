// Many threads use the client while the connection breaks, the simulator quits and restarts and
// the client itself is stopped and started. Built under ThreadSanitizer in the tsan preset; here
// the virtual simulator also counts every handle closed under a running call.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "sim/SimConnectClient.h"
#include "sim/SimConnectTestSupport.h"
#include "sim/virtual/VirtualSimConnectApi.h"
#include "sim/virtual/VirtualSimulator.h"

namespace tarnwick {
namespace {

using namespace test::simtest;
using test::LogCapture;
using test::WaitUntil;

TEST(SimConnectStressTest, CallsFromSeveralThreadsWhileTheConnectionComesAndGoes) {
    LogCapture log;
    VirtualSimulator sim;
    sim.SetRunning(true);
    // Every call lingers a little inside the simulator, so closes have calls to collide with.
    sim.SetCallDelay(std::chrono::microseconds(100));
    VirtualSimConnectApi api(sim);
    SimConnectClient client(
        api, [&sim] { return sim.IsRunning(); }, ShortTiming());

    std::atomic<int> connections{0};
    std::atomic<int> clientData{0};
    client.SetTelemetryHandler([](const SimTelemetry&) {});
    client.SetBatteryHandler([](bool) {});
    client.SetShutdownHandler([] {});
    // Like the MobiFlight client: handlers call back into the client on the worker thread.
    client.SetClientDataHandler([&](std::uint32_t, const std::uint8_t*, std::uint32_t) {
        ++clientData;
        const auto block = Block("MF.SimVars.Set.1 (>L:FROM_HANDLER)");
        (void)client.SetClientData(4096, 4352, block.data(), 256);
    });
    auto onConnection = [&](bool connected) {
        if (!connected) {
            return;
        }
        ++connections;
        (void)client.MapClientDataName("MobiFlight.Command", 4096);
        (void)client.MapClientDataName("MobiFlight.Response", 4097);
        (void)client.AddClientDataDefinition(4352, 256);
        (void)client.AddClientDataDefinition(4353, 256);
        (void)client.RequestClientData(4097, 4608, 4353);
    };
    ASSERT_TRUE(client.Start("Stress", onConnection, {}).Ok());

    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            const std::string events[] = {"AP_MASTER", "HEADING_BUG_SET", "VOR1_SET"};
            int i = 0;
            while (!stop.load()) {
                bool ok = false;
                if ((i + t) % 2 == 0) {
                    ok = client.TransmitEvent(events[i % 3], static_cast<std::uint32_t>(i)).Ok();
                } else {
                    const auto block = Block("MF.Clients.Add.Stress" + std::to_string(i % 7));
                    ok = client.SetClientData(4096, 4352, block.data(), 256).Ok();
                }
                sent += ok ? 1 : 0;
                client.IsConnected();
                ++i;
                std::this_thread::yield();
            }
        });
    }

    for (int round = 0; round < 24; ++round) {
        // A fresh connection for every round, not the one broken last round.
        ASSERT_TRUE(WaitUntil([&] { return client.IsConnected() && connections.load() > round; }))
            << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        switch (round % 4) {
            case 0:
                sim.DropConnections();
                break;
            case 1:
                sim.Quit();
                sim.SetRunning(true);
                break;
            case 2:
                sim.SetRunning(false);
                sim.SetRunning(true);
                break;
            default:
                client.Stop();
                ASSERT_TRUE(client.Start("Stress", onConnection, {}).Ok());
                break;
        }
    }
    stop = true;
    for (auto& caller : callers) {
        caller.join();
    }
    client.Stop();

    EXPECT_EQ(sim.HandleMisuses(), 0);
    EXPECT_EQ(sim.OpenConnectionCount(), 0);
    EXPECT_GE(connections.load(), 24);
    EXPECT_GT(sent.load(), 0);
    EXPECT_GT(clientData.load(), 0);
}

}  // namespace
}  // namespace tarnwick
