// The Windows backend against what the system offers. Under Wine that is a couple of virtual HID
// interfaces of Wine's own (never none, so nothing here assumes a count); on a real machine it is
// whatever is plugged in. Nothing is written to any device.
#include <chrono>
#include <cstdio>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "hid/HidBackend.h"
#include "hid/HidManager.h"
#include "hid/HidTestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

struct Interface {
    std::string path;
    HidAttributes attributes;
};

// Every interface that opens for probing, with its identity.
std::vector<Interface> ProbeAll(HidBackend& backend) {
    std::vector<Interface> found;
    for (const std::string& path : backend.EnumerateInterfaces()) {
        auto handle = backend.Open(path, HidOpenPurpose::Probe);
        HidAttributes attributes;
        if (handle && handle->GetAttributes(attributes)) {
            found.push_back(Interface{path, attributes});
        }
    }
    return found;
}

TEST(Win32HidBackend, EnumeratesInterfacePathsSteadily) {
    auto backend = CreateWin32HidBackend();
    const std::vector<std::string> paths = backend->EnumerateInterfaces();
    for (const std::string& path : paths) {
        EXPECT_EQ(path.rfind("\\\\?\\", 0), 0u) << path;
        EXPECT_EQ(path.find('\0'), std::string::npos);
    }
    EXPECT_EQ(backend->EnumerateInterfaces(), paths);
    RecordProperty("interfaces", static_cast<int>(paths.size()));
}

// The probe asks for no access rights, which the system grants even for the keyboards and mice
// that it keeps from being opened for reading or writing.
TEST(Win32HidBackend, EveryInterfaceOpensForTheProbeAndTellsItsIdentity) {
    auto backend = CreateWin32HidBackend();
    for (const std::string& path : backend->EnumerateInterfaces()) {
        auto handle = backend->Open(path, HidOpenPurpose::Probe);
        ASSERT_NE(handle, nullptr) << path;
        HidAttributes attributes;
        EXPECT_TRUE(handle->GetAttributes(attributes)) << path;
    }
}

TEST(Win32HidBackend, PathThatIsNotThereDoesNotOpen) {
    auto backend = CreateWin32HidBackend();
    const std::string missing = "\\\\?\\hid#vid_0000&pid_0000#tarnwick-missing#{x}";
    EXPECT_EQ(backend->Open(missing, HidOpenPurpose::Probe), nullptr);
    EXPECT_EQ(backend->Open(missing, HidOpenPurpose::Read), nullptr);
    EXPECT_EQ(backend->Open(missing, HidOpenPurpose::Write), nullptr);
}

TEST(Win32HidBackend, PendingReadSurvivesTimeoutsAndCancelEndsIt) {
    auto backend = CreateWin32HidBackend();
    std::unique_ptr<HidHandle> handle;
    for (const std::string& path : backend->EnumerateInterfaces()) {
        handle = backend->Open(path, HidOpenPurpose::Read);
        if (handle) {
            break;
        }
    }
    if (!handle) {
        GTEST_SKIP() << "no HID interface opens for reading here";
    }
    HidReportLengths lengths;
    ASSERT_TRUE(handle->GetReportLengths(lengths));
    EXPECT_GT(lengths.input, 0u);
    HidProtocol::Report buffer{};
    HidReadResult first = handle->Read(buffer, 20ms);
    if (first.status == HidReadStatus::Failed) {
        GTEST_SKIP() << "this interface refuses reads (error " << first.error << ")";
    }
    if (first.status == HidReadStatus::TimedOut) {
        // Waiting again must not start a second read: the same one is still pending.
        EXPECT_EQ(handle->Read(buffer, 20ms).status, HidReadStatus::TimedOut);
    }
    auto reader = std::async(std::launch::async, [&] {
        HidReadResult result;
        do {
            result = handle->Read(buffer, 10s);
        } while (result.status == HidReadStatus::Completed);  // an interface that does talk
        return result.status;
    });
    std::this_thread::sleep_for(20ms);
    handle->CancelRead();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), HidReadStatus::Cancelled);
    EXPECT_EQ(handle->Read(buffer, 10s).status, HidReadStatus::Cancelled);
}

TEST(Win32HidManager, OpensNothingThatDoesNotMatch) {
    test::LogCapture logs;
    auto backend = CreateWin32HidBackend();
    std::set<std::pair<std::uint16_t, std::uint16_t>> present;
    for (const Interface& found : ProbeAll(*backend)) {
        present.emplace(found.attributes.vendorId, found.attributes.productId);
    }
    std::uint16_t pid = 0xE6B0;
    while (present.count({0x04D8, pid}) != 0 || present.count({0x2E8A, pid}) != 0) {
        ++pid;
    }
    HidManagerSettings settings = test::DefaultSettings();
    settings.vendorId = 0x04D8;
    settings.productId = pid;
    settings.devices = {HidDeviceTarget{0x04D8, pid, PanelRole::G1000}};

    HidManager manager(*backend);
    std::string error;
    ASSERT_TRUE(manager.Start(settings, nullptr, error));
    manager.Scan();
    EXPECT_FALSE(manager.HasDevices());
    manager.Stop();
    EXPECT_TRUE(logs.Lines().empty());
}

TEST(Win32HidManager, OpensAMatchingInterfaceAndStopsPromptly) {
    test::LogCapture logs;
    auto backend = CreateWin32HidBackend();
    const std::vector<Interface> interfaces = ProbeAll(*backend);
    if (interfaces.empty()) {
        GTEST_SKIP() << "no HID interface opens here";
    }
    const Interface& target = interfaces.front();
    HidManagerSettings settings;
    settings.vendorId = target.attributes.vendorId;
    settings.productId = target.attributes.productId;
    settings.scanIntervalMs = 600000;

    HidManager manager(*backend);
    std::string error;
    ASSERT_TRUE(manager.Start(settings, nullptr, error));
    if (!manager.HasDevices()) {
        GTEST_SKIP() << "the interface probes but does not open for reading";
    }
    const auto begin = std::chrono::steady_clock::now();
    manager.Stop();
    // The pending read is cancelled, not waited out.
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 900ms);
    EXPECT_EQ(logs.Matching("HID device connected: ").size(), logs.Matching("disconnected").size());
}

}  // namespace
}  // namespace tarnwick
