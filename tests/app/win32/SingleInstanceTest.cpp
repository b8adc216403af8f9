// The single-instance lock of the real backend.
#include <string>

#include <gtest/gtest.h>

#include "app/SystemServices.h"
#include "platform/win32/WinApi.h"

namespace tarnwick {
namespace {

// A first instance running elevated holds a lock that a second one may not open: that second
// one must still see "already running", not "no lock to be had".
TEST(SingleInstanceTest, ALockThatCannotBeOpenedMeansAlreadyRunning) {
    const std::string name = "Local\\TarnwickHID.test." + std::to_string(GetCurrentProcessId());
    // An empty access list: nobody may open it, as for a process that is not elevated.
    SECURITY_DESCRIPTOR descriptor;
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    ACL acl;
    InitializeAcl(&acl, sizeof acl, ACL_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const HANDLE held = CreateMutexA(&attributes, TRUE, name.c_str());
    ASSERT_NE(held, nullptr);

    EXPECT_EQ(CreatePlatformSystemServices()->AcquireSingleInstanceLock(name),
              SystemServices::InstanceLock::AlreadyRunning);
    CloseHandle(held);
}

}  // namespace
}  // namespace tarnwick
