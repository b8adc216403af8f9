#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "HidTestSupport.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

VirtualHidDeviceSetup DeviceSetup(const std::string& path) {
    return VirtualPanelBoardSetup(path, 0x04D8, 0xE6B0, test::MakeInfo(0xAB), std::nullopt, "SN");
}

HidProtocol::Report Bytes(std::uint8_t first, std::uint8_t second = 0) {
    HidProtocol::Report report{};
    report[0] = first;
    report[1] = second;
    return report;
}

TEST(VirtualHidBackend, EnumeratesInPlugOrderAndKeepsPathsUnique) {
    VirtualHidBackend backend;
    ASSERT_NE(backend.Plug(DeviceSetup("z")), nullptr);
    ASSERT_NE(backend.Plug(DeviceSetup("a")), nullptr);
    EXPECT_EQ(backend.Plug(DeviceSetup("z")), nullptr);
    EXPECT_EQ(backend.EnumerateInterfaces(), (std::vector<std::string>{"z", "a"}));
    EXPECT_TRUE(backend.Unplug("z"));
    EXPECT_FALSE(backend.Unplug("z"));
    EXPECT_EQ(backend.Find("z"), nullptr);
    EXPECT_EQ(backend.EnumerateInterfaces(), std::vector<std::string>{"a"});
    backend.SetEnumerationFails(true);
    EXPECT_TRUE(backend.EnumerateInterfaces().empty());
    EXPECT_EQ(backend.EnumerationCount(), 3u);
}

TEST(VirtualHidBackend, OpeningFollowsAccessAndRequestedFailures) {
    VirtualHidBackend backend;
    VirtualHidDeviceSetup setup = DeviceSetup("ro");
    setup.readOnly = true;
    auto readOnly = backend.Plug(setup);
    auto normal = backend.Plug(DeviceSetup("rw"));

    auto probe = backend.Open("ro", HidOpenPurpose::Probe);
    ASSERT_NE(probe, nullptr);
    EXPECT_EQ(probe->Write(Bytes(0x10)).error, HidError::kAccessDenied);
    EXPECT_NE(backend.Open("ro", HidOpenPurpose::Read), nullptr);
    EXPECT_EQ(backend.Open("ro", HidOpenPurpose::Write), nullptr);
    EXPECT_EQ(backend.Open("missing", HidOpenPurpose::Probe), nullptr);

    normal->SetOpenFailure(HidOpenPurpose::Write, true);
    EXPECT_EQ(backend.Open("rw", HidOpenPurpose::Write), nullptr);
    EXPECT_NE(backend.Open("rw", HidOpenPurpose::Read), nullptr);
    normal->SetOpenFailure(HidOpenPurpose::Write, false);
    auto write = backend.Open("rw", HidOpenPurpose::Write);
    ASSERT_NE(write, nullptr);
    EXPECT_EQ(normal->OpenCount(HidOpenPurpose::Write), 1u);
    EXPECT_EQ(normal->OpenHandleCount(), 1u);
    write.reset();
    EXPECT_EQ(normal->OpenHandleCount(), 0u);
    EXPECT_EQ(readOnly->OpenHandleCount(), 1u);  // the probe
}

TEST(VirtualHidBackend, AnswersIdentityAndFeatureRequests) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    auto handle = backend.Open("d", HidOpenPurpose::Read);
    HidAttributes attributes;
    ASSERT_TRUE(handle->GetAttributes(attributes));
    EXPECT_EQ(attributes.vendorId, 0x04D8);
    EXPECT_EQ(attributes.productId, 0xE6B0);
    std::string serial;
    ASSERT_TRUE(handle->GetSerialNumber(serial));
    EXPECT_EQ(serial, "SN");

    HidProtocol::Report feature = Bytes(0x20);
    ASSERT_TRUE(handle->GetFeature(feature));
    EXPECT_EQ(feature, HidProtocol::EncodeDeviceInfoReport(test::MakeInfo(0xAB)));
    feature = Bytes(0x21);
    EXPECT_FALSE(handle->GetFeature(feature));  // no protocol info configured
    device->SetFeatureAnswer(0x21, Bytes(0x21, 3));
    ASSERT_TRUE(handle->GetFeature(feature));
    EXPECT_EQ(feature[1], 3);
    EXPECT_EQ(device->FeatureRequestCount(), 3u);

    device->SetSerial("");
    EXPECT_FALSE(handle->GetSerialNumber(serial));
}

TEST(VirtualHidBackend, InputReachesEveryReadingHandleInOrder) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    EXPECT_TRUE(device->SendInput(Bytes(1, 0).data(), 32));  // nobody reading: lost
    auto first = backend.Open("d", HidOpenPurpose::Read);
    auto second = backend.Open("d", HidOpenPurpose::Read);
    auto probe = backend.Open("d", HidOpenPurpose::Probe);
    ASSERT_TRUE(device->SendInput(Bytes(1, 1).data(), 32));
    ASSERT_TRUE(device->SendInput(Bytes(1, 2).data(), 31));
    EXPECT_FALSE(device->SendInput(Bytes(1, 3).data(), 33));

    for (auto* handle : {first.get(), second.get()}) {
        HidProtocol::Report buffer{};
        HidReadResult result = handle->Read(buffer, 1s);
        ASSERT_EQ(result.status, HidReadStatus::Completed);
        EXPECT_EQ(result.bytes, 32u);
        EXPECT_EQ(buffer[1], 1);
        result = handle->Read(buffer, 1s);
        ASSERT_EQ(result.status, HidReadStatus::Completed);
        EXPECT_EQ(result.bytes, 31u);
        EXPECT_EQ(buffer[1], 2);
    }
    HidProtocol::Report buffer{};
    EXPECT_EQ(probe->Read(buffer, 1ms).status, HidReadStatus::Failed);
}

TEST(VirtualHidBackend, FullBufferDropsTheOldestReport) {
    VirtualHidBackend backend;
    VirtualHidDeviceSetup setup = DeviceSetup("d");
    setup.inputBufferReports = 2;
    auto device = backend.Plug(setup);
    auto handle = backend.Open("d", HidOpenPurpose::Read);
    for (std::uint8_t i = 1; i <= 3; ++i) {
        device->SendInput(Bytes(1, i).data(), 32);
    }
    EXPECT_EQ(device->DroppedInputs(), 1u);
    HidProtocol::Report buffer{};
    ASSERT_EQ(handle->Read(buffer, 1s).status, HidReadStatus::Completed);
    EXPECT_EQ(buffer[1], 2);
}

TEST(VirtualHidBackend, ReadThatTimesOutStaysPendingUntilAReportComes) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    auto handle = backend.Open("d", HidOpenPurpose::Read);
    HidProtocol::Report buffer{};
    EXPECT_EQ(handle->Read(buffer, 5ms).status, HidReadStatus::TimedOut);
    EXPECT_TRUE(device->HasPendingRead());
    EXPECT_EQ(handle->Read(buffer, 5ms).status, HidReadStatus::TimedOut);
    EXPECT_EQ(device->ReadsStarted(), 1u);
    device->SendInput(Bytes(1, 9).data(), 32);
    ASSERT_EQ(handle->Read(buffer, 5ms).status, HidReadStatus::Completed);
    EXPECT_EQ(buffer[1], 9);
    EXPECT_FALSE(device->HasPendingRead());
    EXPECT_EQ(device->ReadsStarted(), 1u);
}

TEST(VirtualHidBackend, CancelWakesAWaitingReadAndStaysInForce) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    auto handle = backend.Open("d", HidOpenPurpose::Read);
    auto reader = std::async(std::launch::async, [&] {
        HidProtocol::Report buffer{};
        return handle->Read(buffer, 60s).status;
    });
    ASSERT_TRUE(device->WaitForPendingRead(5s));
    handle->CancelRead();
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(reader.get(), HidReadStatus::Cancelled);
    device->SendInput(Bytes(1).data(), 32);
    HidProtocol::Report buffer{};
    EXPECT_EQ(handle->Read(buffer, 60s).status, HidReadStatus::Cancelled);
}

TEST(VirtualHidBackend, UnplugFailsAPendingReadAndEveryLaterCall) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    auto reading = backend.Open("d", HidOpenPurpose::Read);
    auto writing = backend.Open("d", HidOpenPurpose::Write);
    auto reader = std::async(std::launch::async, [&] {
        HidProtocol::Report buffer{};
        return reading->Read(buffer, 60s);
    });
    ASSERT_TRUE(device->WaitForPendingRead(5s));
    ASSERT_TRUE(backend.Unplug("d"));
    ASSERT_EQ(reader.wait_for(5s), std::future_status::ready);
    const HidReadResult result = reader.get();
    EXPECT_EQ(result.status, HidReadStatus::Failed);
    EXPECT_EQ(result.error, HidError::kDeviceNotConnected);

    EXPECT_FALSE(device->IsPlugged());
    EXPECT_FALSE(device->SendInput(Bytes(1).data(), 32));
    EXPECT_EQ(writing->Write(Bytes(0x11)).error, HidError::kDeviceNotConnected);
    HidProtocol::Report feature = Bytes(0x20);
    EXPECT_FALSE(reading->GetFeature(feature));
    HidAttributes attributes;
    EXPECT_FALSE(reading->GetAttributes(attributes));
    // The same path can hold a new device; the old handles stay dead.
    auto again = backend.Plug(DeviceSetup("d"));
    ASSERT_NE(again, device);
    EXPECT_EQ(writing->Write(Bytes(0x11)).error, HidError::kDeviceNotConnected);
    EXPECT_TRUE(again->Writes().empty());
}

TEST(VirtualHidBackend, RecordsEveryWriteWithItsOutcome) {
    VirtualHidBackend backend;
    auto device = backend.Plug(DeviceSetup("d"));
    auto handle = backend.Open("d", HidOpenPurpose::Write);
    EXPECT_EQ(handle->Write(Bytes(0x10, 1)).bytes, 32u);
    device->SetWriteBehaviour(VirtualWriteBehaviour{VirtualWriteMode::Short, 0, 12});
    const HidTransfer shortWrite = handle->Write(Bytes(0x10, 2));
    EXPECT_TRUE(shortWrite.ok);
    EXPECT_EQ(shortWrite.bytes, 12u);
    device->SetWriteBehaviour(VirtualWriteBehaviour{VirtualWriteMode::Fail, 31, 0});
    const HidTransfer failed = handle->Write(Bytes(0x10, 3));
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.error, 31u);
    EXPECT_TRUE(handle->SetOutputReport(Bytes(0x12, 2)).ok);

    const auto writes = device->Writes();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[2].report, Bytes(0x10, 3));
    EXPECT_EQ(writes[3].method, VirtualWriteMethod::SetOutputReport);
    EXPECT_EQ(device->ReceivedReports(),
              (std::vector<HidProtocol::Report>{Bytes(0x10, 1), Bytes(0x12, 2)}));
    device->ClearWrites();
    EXPECT_TRUE(device->Writes().empty());
}

TEST(VirtualHidBackend, HotplugListenerHearsEveryChange) {
    VirtualHidBackend backend;
    std::vector<std::pair<std::string, bool>> heard;
    backend.SetHotplugListener(
        [&heard](const std::string& path, bool arrived) { heard.emplace_back(path, arrived); });
    backend.Plug(DeviceSetup("a"));
    backend.Plug(DeviceSetup("a"));  // refused: not a change
    backend.Unplug("a");
    EXPECT_EQ(heard, (std::vector<std::pair<std::string, bool>>{{"a", true}, {"a", false}}));
}

TEST(VirtualHidBackend, ConcurrentSendersLoseNothingAndKeepTheirOrder) {
    VirtualHidBackend backend;
    VirtualHidDeviceSetup setup = DeviceSetup("d");
    setup.inputBufferReports = 100000;
    auto device = backend.Plug(setup);
    auto handle = backend.Open("d", HidOpenPurpose::Read);
    constexpr int kSenders = 4;
    constexpr int kEach = 1000;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&device, s] {
            for (int i = 0; i < kEach; ++i) {
                HidProtocol::Report report{};
                report[0] = static_cast<std::uint8_t>(s);
                report[1] = static_cast<std::uint8_t>(i & 0xFF);
                report[2] = static_cast<std::uint8_t>(i >> 8);
                device->SendInput(report.data(), report.size());
            }
        });
    }
    std::map<int, int> next;
    for (int received = 0; received < kSenders * kEach; ++received) {
        HidProtocol::Report buffer{};
        ASSERT_EQ(handle->Read(buffer, 5s).status, HidReadStatus::Completed);
        const int sender = buffer[0];
        const int sequence = buffer[1] | (buffer[2] << 8);
        ASSERT_EQ(sequence, next[sender]) << "sender " << sender;
        ++next[sender];
    }
    for (auto& sender : senders) {
        sender.join();
    }
    EXPECT_EQ(device->DroppedInputs(), 0u);
}

}  // namespace
}  // namespace tarnwick
