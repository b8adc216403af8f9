#include "app/Paths.h"

#include <gtest/gtest.h>

#include "app/SystemServices.h"
#include "config/PathText.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

class FakeServices final : public SystemServices {
public:
    void AttachParentConsole() override {}
    std::string ExecutablePath() override { return exePath; }
    std::string CommonAppDataDirectory() override { return appData; }
    bool IsSimulatorProcessRunning() override { return false; }
    InstanceLock AcquireSingleInstanceLock(const std::string&) override {
        return InstanceLock::Acquired;
    }
    void InstallConsoleStopHandler() override {}
    void OrderlyStopFinished() override {}

    std::string exePath;
    std::string appData;
};

class PathsTest : public testing::Test {
protected:
    std::string InDir(const std::string& a, const std::string& b = "",
                      const std::string& c = "") {
        return JoinPath(JoinPath(JoinPath(dir_.Path().string(), a), b), c);
    }
    test::TempDir dir_;
    FakeServices services_;
};

TEST_F(PathsTest, ExecutableDirectoryIsTheParentOfTheModulePath) {
    services_.exePath = InDir("bin", "TarnwickHID.exe");
    EXPECT_EQ(ExecutableDirectory(services_), InDir("bin"));
    services_.exePath.clear();
    EXPECT_EQ(ExecutableDirectory(services_), "");
}

TEST_F(PathsTest, DefaultConfigPrefersTheOneBesideTheExecutable) {
    services_.exePath = InDir("bin", "TarnwickHID.exe");
    services_.appData = InDir("ProgramData");
    dir_.Write("bin/config/config.json", "{}");
    EXPECT_EQ(ResolveDefaultConfigPath(services_), InDir("bin", "config", "config.json"));
}

TEST_F(PathsTest, DefaultConfigFallsBackToTheMachineWideFolderUntested) {
    services_.exePath = InDir("bin", "TarnwickHID.exe");
    services_.appData = InDir("ProgramData");
    EXPECT_EQ(ResolveDefaultConfigPath(services_), InDir("ProgramData", "Tarnwick", "config.json"));

    // Without a machine-wide folder the executable's candidate stays, existing or not.
    services_.appData.clear();
    EXPECT_EQ(ResolveDefaultConfigPath(services_), InDir("bin", "config", "config.json"));

    // Without an executable path it becomes relative to the working folder, even if a file of
    // that name happens to exist there: only the executable's own folder is searched.
    services_.exePath.clear();
    EXPECT_EQ(ResolveDefaultConfigPath(services_), JoinPath("config", "config.json"));
    services_.appData = InDir("ProgramData");
    EXPECT_EQ(ResolveDefaultConfigPath(services_), InDir("ProgramData", "Tarnwick", "config.json"));
}

TEST_F(PathsTest, LogsGoUnderTheDataFolderUnlessRunFromAConsole) {
    EXPECT_EQ(ResolveLogDirectory(false, InDir("ProgramData"), InDir("bin")),
              InDir("ProgramData", "Tarnwick", "logs"));
    EXPECT_EQ(ResolveLogDirectory(true, InDir("ProgramData"), InDir("bin")), InDir("bin"));
    EXPECT_EQ(ResolveLogDirectory(false, "", InDir("bin")), InDir("bin"));
    EXPECT_EQ(ResolveLogDirectory(false, "", ""), "");
}

#ifdef _WIN32
TEST(PathsWindows, JoinsWithBackslashes) {
    FakeServices services;
    services.exePath = "C:\\Program Files\\Tarnwick\\TarnwickHID.exe";
    services.appData = "C:\\ProgramData";
    EXPECT_EQ(ExecutableDirectory(services), "C:\\Program Files\\Tarnwick");
    EXPECT_EQ(ResolveDefaultConfigPath(services), "C:\\ProgramData\\Tarnwick\\config.json");
    EXPECT_EQ(ResolveLogDirectory(false, "C:\\ProgramData", ""), "C:\\ProgramData\\Tarnwick\\logs");
    services.exePath.clear();
    services.appData.clear();
    EXPECT_EQ(ResolveDefaultConfigPath(services), "config\\config.json");
}

TEST(PathsWindows, PlatformServicesAnswerUnderWindows) {
    auto services = CreatePlatformSystemServices();
    const std::string exe = services->ExecutablePath();
    EXPECT_NE(exe.find("app_tests.exe"), std::string::npos) << exe;
    EXPECT_FALSE(services->CommonAppDataDirectory().empty());
}
#endif

}  // namespace
}  // namespace tarnwick
