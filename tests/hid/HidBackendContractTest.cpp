// What the HID manager relies on from a backend, run against every backend there is: the virtual
// one everywhere, the Windows one in the Windows build against what the system offers (under
// Wine a couple of its own virtual interfaces, so nothing here assumes a count). Nothing is
// written to a device the test did not make.
#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "hid/HidBackend.h"
#include "hid/virtual/VirtualHidBackend.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

struct BackendCase {
    const char* name;
    std::unique_ptr<HidBackend> (*make)();
};

// A mouse, which only the probe opens: the reads of the virtual backend are the manager suite's.
std::unique_ptr<HidBackend> VirtualWithAMouse() {
    auto backend = std::make_unique<VirtualHidBackend>();
    VirtualHidDeviceSetup mouse = VirtualTouchPanelSetup("\\\\?\\hid#m", 0x046D, 0xC52B, "");
    mouse.systemOwned = true;
    backend->Plug(mouse);
    return backend;
}

// Names the case in ctest's list: its bytes would change with every build.
void PrintTo(const BackendCase& backend, std::ostream* out) {
    *out << backend.name;
}

class HidBackendContract : public testing::TestWithParam<BackendCase> {
protected:
    std::unique_ptr<HidBackend> backend_ = GetParam().make();
};

// The probe asks for no access rights, which the system grants even for the keyboards and mice
// that it keeps from being opened for reading or writing.
TEST_P(HidBackendContract, EnumerationIsSteadyAndEveryInterfaceProbes) {
    const std::vector<std::string> paths = backend_->EnumerateInterfaces();
    EXPECT_EQ(backend_->EnumerateInterfaces(), paths);
    for (const std::string& path : paths) {
        auto handle = backend_->Open(path, HidOpenPurpose::Probe);
        ASSERT_NE(handle, nullptr) << path;
        HidAttributes attributes;
        EXPECT_TRUE(handle->GetAttributes(attributes)) << path;
    }
    const std::string missing = "\\\\?\\hid#vid_0000&pid_0000#tarnwick-missing#{x}";
    for (const auto purpose :
         {HidOpenPurpose::Probe, HidOpenPurpose::Read, HidOpenPurpose::Write}) {
        EXPECT_EQ(backend_->Open(missing, purpose), nullptr);
    }
}

TEST_P(HidBackendContract, PendingReadSurvivesTimeoutsAndCancelEndsIt) {
    std::unique_ptr<HidHandle> handle;
    for (const std::string& path : backend_->EnumerateInterfaces()) {
        if ((handle = backend_->Open(path, HidOpenPurpose::Read)) != nullptr) {
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
    const HidReadResult first = handle->Read(buffer, 20ms);
    if (first.status == HidReadStatus::Failed) {
        GTEST_SKIP() << "this interface refuses reads (error " << first.error << ")";
    }
    if (first.status == HidReadStatus::TimedOut) {
        EXPECT_EQ(handle->Read(buffer, 20ms).status, HidReadStatus::TimedOut);
    }
    auto reader = std::async(std::launch::async, [&] {
        HidReadResult result;
        do {
            result = handle->Read(buffer, 10s);
        } while (result.status == HidReadStatus::Completed);  // an interface that does talk
        return result.status;
    });
    handle->CancelRead();  // before or during the read: either way it ends
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), HidReadStatus::Cancelled);
    EXPECT_EQ(handle->Read(buffer, 10s).status, HidReadStatus::Cancelled);
}

const BackendCase kBackends[] = {
    {"Virtual", VirtualWithAMouse},
#ifdef _WIN32
    {"Win32", CreateWin32HidBackend},
#endif
};
INSTANTIATE_TEST_SUITE_P(Backends, HidBackendContract, testing::ValuesIn(kBackends),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tarnwick
