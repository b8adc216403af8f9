// The real backend loading SimConnect.dll under Windows (Wine in the test run). The library beside
// this executable is the virtual simulator built as a DLL, so the run-time loading, the exported
// names, the calling of every function and the byte layouts of the receive records are all the
// real ones; a control interface of that library lets the test drive the simulator inside it.
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/win32/WinApi.h"
#include "sim/SimConnectApi.h"
#include "sim/SimConnectClient.h"
#include "sim/SimConnectTestSupport.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

using namespace test::simtest;
using test::LogCapture;
using test::WaitUntil;

template <typename Fn>
Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The test library's own controls, found in the copy the backend loaded.
class TestLibrary {
public:
    bool Attach() {
        const HMODULE module = GetModuleHandleA("SimConnect.dll");
        if (module == nullptr) {
            return false;
        }
        isRunning_ = Resolve<int (*)()>(module, "TarnwickSim_IsRunning");
        quit_ = Resolve<void (*)()>(module, "TarnwickSim_Quit");
        misuses_ = Resolve<int (*)()>(module, "TarnwickSim_HandleMisuses");
        recordCount_ = Resolve<int (*)(int)>(module, "TarnwickSim_RecordCount");
        copyRecord_ = Resolve<int (*)(int, int, char*, int)>(module, "TarnwickSim_CopyRecord");
        return isRunning_ && quit_ && misuses_ && recordCount_ && copyRecord_;
    }

    bool IsRunning() const { return isRunning_() != 0; }
    void Quit() const { quit_(); }
    int HandleMisuses() const { return misuses_(); }

    // kind: 0 module commands, 1 executed code, 2 events "NAME=value", 3 opened client names.
    std::vector<std::string> Records(int kind) const {
        std::vector<std::string> records;
        const int count = recordCount_(kind);
        for (int i = 0; i < count; ++i) {
            char buffer[512] = {};
            if (copyRecord_(kind, i, buffer, sizeof buffer) >= 0) {
                records.emplace_back(buffer);
            }
        }
        return records;
    }

private:
    int (*isRunning_)() = nullptr;
    void (*quit_)() = nullptr;
    int (*misuses_)() = nullptr;
    int (*recordCount_)(int) = nullptr;
    int (*copyRecord_)(int, int, char*, int) = nullptr;
};

bool Contains(const std::vector<std::string>& records, const std::string& record) {
    for (const std::string& r : records) {
        if (r == record) {
            return true;
        }
    }
    return false;
}

TEST(Win32SimConnectApiTest, AMissingLibraryIsNamed) {
    auto api = CreateWin32SimConnectApi("NoSuchSimConnect.dll");
    std::string error;
    EXPECT_FALSE(api->Load(error));
    EXPECT_EQ(error, "NoSuchSimConnect.dll not found");
    error.clear();
    EXPECT_FALSE(api->Load(error));
    EXPECT_EQ(error, "NoSuchSimConnect.dll not found");
}

// A copy beside the executable that does not load is named with its path and error; a copy
// only in the current folder is never loaded.
TEST(Win32SimConnectApiTest, ABrokenCopyIsNamedAndTheCurrentFolderIsNotSearched) {
    namespace fs = std::filesystem;
    const fs::path exeFolder = fs::path(test::CurrentExecutablePath()).parent_path();
    const fs::path broken = exeFolder / "BrokenSimConnect.dll";
    std::ofstream(broken, std::ios::binary) << "not a library\r\n";
    test::TempDir current;
    fs::copy_file(exeFolder / "SimConnect.dll", current.Path() / "CurrentOnlySimConnect.dll");
    const fs::path previous = fs::current_path();
    fs::current_path(current.Path());

    std::string brokenError;
    EXPECT_FALSE(CreateWin32SimConnectApi("BrokenSimConnect.dll")->Load(brokenError));
    std::string currentError;
    EXPECT_FALSE(CreateWin32SimConnectApi("CurrentOnlySimConnect.dll")->Load(currentError));
    fs::current_path(previous);
    fs::remove(broken);

    EXPECT_EQ(brokenError,
              "BrokenSimConnect.dll at " + broken.string() + " could not be loaded (error 193)");
    EXPECT_EQ(currentError, "CurrentOnlySimConnect.dll not found");
}

TEST(Win32SimConnectApiTest, AMissingFunctionIsNamed) {
    auto api = CreateWin32SimConnectApi("SimConnectPartial.dll");
    std::string error;
    EXPECT_FALSE(api->Load(error));
    EXPECT_EQ(error, "SimConnect_SetClientData missing from SimConnectPartial.dll");
}

TEST(Win32SimConnectApiTest, TheClientKeepsRetryingWithoutTheLibrary) {
    LogCapture log;
    WaitLog waits;
    auto api = CreateWin32SimConnectApi("NoSuchSimConnect.dll");
    SimConnectClient client(
        *api, [] { return true; }, ShortTiming(&waits));
    std::string error;
    ASSERT_TRUE(client.Start("Tester", {}, {}, error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return waits.CountOf(SimConnectWait::Retry) >= 3; }));
    client.Stop();
    auto retries = waits.Of(SimConnectWait::Retry);
    retries.resize(3);
    EXPECT_EQ(retries, (std::vector<std::int64_t>{5, 10, 20}));
    EXPECT_GE(log.Count("[WARN] Waiting for SimConnect connection: NoSuchSimConnect.dll not found"),
              3u);
}

// Connect, subscribe, register with the module, command, send events, quit: the whole course
// through the loaded library.
TEST(Win32SimConnectApiTest, AFullCourseRunsThroughTheLoadedLibrary) {
    LogCapture log;
    auto api = CreateWin32SimConnectApi();
    std::string error;
    ASSERT_TRUE(api->Load(error)) << error;
    TestLibrary sim;
    ASSERT_TRUE(sim.Attach());
    ASSERT_TRUE(sim.IsRunning());

    std::mutex mutex;
    std::vector<SimTelemetry> telemetry;
    std::vector<bool> battery;
    std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>> clientData;
    std::vector<bool> changes;
    std::atomic<int> shutdowns{0};
    auto locked = [&](auto read) {
        std::lock_guard<std::mutex> lock(mutex);
        return read();
    };

    SimConnectClient client(
        *api, [&sim] { return sim.IsRunning(); }, ShortTiming());
    client.SetTelemetryHandler([&](const SimTelemetry& values) {
        std::lock_guard<std::mutex> lock(mutex);
        telemetry.push_back(values);
    });
    client.SetBatteryHandler([&](bool on) {
        std::lock_guard<std::mutex> lock(mutex);
        battery.push_back(on);
    });
    client.SetClientDataHandler(
        [&](std::uint32_t requestId, const std::uint8_t* data, std::uint32_t size) {
            std::lock_guard<std::mutex> lock(mutex);
            clientData.emplace_back(requestId, std::vector<std::uint8_t>(data, data + size));
        });
    client.SetShutdownHandler([&] { ++shutdowns; });
    ASSERT_TRUE(client.Start(
        "",
        [&](bool connected) {
            std::lock_guard<std::mutex> lock(mutex);
            changes.push_back(connected);
        },
        {}, error))
        << error;
    ASSERT_TRUE(WaitUntil([&] { return client.IsConnected(); }));
    EXPECT_EQ(sim.Records(3), std::vector<std::string>{"TarnwickHID"});
    EXPECT_TRUE(WaitUntil([&] { return log.Count("[INFO] SimConnect session opened") == 1; }));

    // The flight's values, decoded from the records the library built.
    ASSERT_TRUE(WaitUntil([&] { return locked([&] { return !telemetry.empty(); }); }));
    ASSERT_TRUE(WaitUntil([&] { return locked([&] { return !battery.empty(); }); }));
    {
        std::lock_guard<std::mutex> lock(mutex);
        const SimTelemetry& values = telemetry.back();
        EXPECT_EQ(values[SimTelemetry::kTurnRate], 3.0f);
        EXPECT_EQ(values[SimTelemetry::kAltimeterSetting], static_cast<float>(29.92));
        EXPECT_EQ(values[SimTelemetry::kMainBusVoltage], static_cast<float>(28.2));
        EXPECT_GT(values[SimTelemetry::kPitch], 0.0f);
        EXPECT_GT(values[SimTelemetry::kBank], 0.0f);
        EXPECT_GE(values[SimTelemetry::kMagneticHeading], 0.0f);
        EXPECT_LT(values[SimTelemetry::kMagneticHeading], 360.0f);
        EXPECT_EQ(battery.front(), true);
    }

    // The module's channels, as the MobiFlight client sets them up.
    ASSERT_TRUE(client.MapClientDataName("MobiFlight.Command", 4096, error)) << error;
    ASSERT_TRUE(client.MapClientDataName("MobiFlight.Response", 4097, error)) << error;
    ASSERT_TRUE(client.MapClientDataName("MobiFlight.LVars", 4098, error)) << error;
    ASSERT_TRUE(client.AddClientDataDefinition(4352, 256, error)) << error;
    ASSERT_TRUE(client.AddClientDataDefinition(4353, 256, error)) << error;
    ASSERT_TRUE(client.AddClientDataDefinition(4354, 4096, error)) << error;
    ASSERT_TRUE(client.RequestClientData(4097, 4608, 4353, error)) << error;
    ASSERT_TRUE(client.RequestClientData(4098, 4609, 4354, error)) << error;
    auto send = [&](const std::string& text) {
        const auto block = Block(text);
        std::string sendError;
        EXPECT_TRUE(client.SetClientData(4096, 4352, block.data(), 256, sendError)) << sendError;
    };
    auto arrivedOn = [&](std::uint32_t requestId) {
        return locked([&] {
            std::vector<std::vector<std::uint8_t>> blocks;
            for (const auto& [id, bytes] : clientData) {
                if (id == requestId) {
                    blocks.push_back(bytes);
                }
            }
            return blocks;
        });
    };

    send("MF.Clients.Add.TarnwickHID");
    ASSERT_TRUE(WaitUntil([&] { return !arrivedOn(4608).empty(); }));
    const auto answer = arrivedOn(4608).front();
    EXPECT_EQ(answer.size(), 256u);
    EXPECT_EQ(TextOf(answer.data(), 256), "MF.Clients.Add.TarnwickHID.Finished");

    send("MF.SimVars.Add.(L:LIGHTING_POTENTIOMETER_5)");
    ASSERT_TRUE(WaitUntil([&] { return !arrivedOn(4609).empty(); }));
    const auto lvars = arrivedOn(4609).back();
    ASSERT_EQ(lvars.size(), 4096u);
    float lighting = 0;
    std::memcpy(&lighting, lvars.data(), sizeof lighting);
    EXPECT_EQ(lighting, 0.75f);

    send("MF.SimVars.Set.1 (>K:AP_MASTER)");
    send("MF.DummyCmd");
    EXPECT_EQ(sim.Records(1), std::vector<std::string>{"1 (>K:AP_MASTER)"});

    ASSERT_TRUE(client.TransmitEvent("AP_MASTER", 0, error)) << error;
    ASSERT_TRUE(client.TransmitEvent("HEADING_BUG_SET", 123, error)) << error;
    EXPECT_EQ(sim.Records(2), (std::vector<std::string>{"AP_MASTER=0", "HEADING_BUG_SET=123"}));
    EXPECT_TRUE(WaitUntil([&] {
        return locked(
            [&] { return telemetry.back()[SimTelemetry::kAutopilotHeadingBug] == 123.0f; });
    }));

    sim.Quit();
    ASSERT_TRUE(WaitUntil([&] { return shutdowns.load() == 1; }));
    EXPECT_EQ(locked([&] { return changes; }), (std::vector<bool>{true, false}));
    EXPECT_EQ(log.Count("[WARN] SimConnect disconnected: SimConnect quit"), 1u);
    EXPECT_EQ(log.Count("[INFO] Simulator closed; requesting application shutdown"), 1u);
    client.Stop();
    EXPECT_EQ(sim.HandleMisuses(), 0);
    EXPECT_TRUE(Contains(sim.Records(0), "MF.Clients.Add.TarnwickHID"));
}

}  // namespace
}  // namespace tarnwick
