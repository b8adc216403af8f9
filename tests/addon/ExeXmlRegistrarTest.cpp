#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "addon/ExeXmlRegistrar.h"
#include "config/PathText.h"
#include "log/Logger.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

// The test binary's own environment: nothing else in it reads these variables.
void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

const std::string kDoc = "<SimBase.Document>\r\n</SimBase.Document>\r\n";

// Each row makes one step fail for the first file in the way: the run stops there and names the
// file, the later file and its old backup stay whole (a failed backup stops the write), and what
// was written is removed again, passing over a file that cannot be read. Three of the places the
// simulator may keep the file, in the order they are listed.
TEST(ExeXmlRegistrarTest, FailuresNameTheFileAndStopTheRun) {
    const test::TempDir dir;
    SetEnv("LOCALAPPDATA", dir.File("Local"));
    SetEnv("APPDATA", dir.File("Roaming"));
    const auto file = [&](const char* parts) {
        return FromFsPath(dir.Path() / fs::path(parts).make_preferred());
    };
    const std::string files[] = {
        file("Local/Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalCache/EXE.xml"),
        file("Local/Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalState/EXE.xml"),
        file("Roaming/Microsoft Flight Simulator/EXE.xml")};
    const auto put = [](const std::string& path, const std::string& content) {
        fs::create_directories(ToFsPath(path).parent_path());
        std::ofstream(ToFsPath(path), std::ios::binary) << content;
    };
    Logger::Instance().Init(dir.File("logs"), "TarnwickHID", false);
    const struct {
        int broken;
        const char* blocker;  // a folder in the way of the file or of one of its companions
        const char* message;
        int written;
    } cases[] = {{1, "", "Failed to read: ", 1},
                 {0, ".tmp", "Failed to open for write: ", 0},
                 {0, ".bak.tmp/keep", "Failed to back up: ", 0}};
    for (const auto& c : cases) {
        fs::remove_all(dir.File("Local"));
        for (const int i : {0, 2}) {
            put(files[i], kDoc);
            put(files[i] + ".bak", "old backup");
        }
        fs::create_directories(files[c.broken] + c.blocker);
        const ExeXmlUpdate update = RegisterAddon("TarnwickHID", "a.exe", "");
        EXPECT_EQ(update.outcome.Error(), c.message + files[c.broken]);
        EXPECT_EQ(update.filesWritten, c.written);
        EXPECT_EQ(UnregisterAddon("TarnwickHID").filesWritten, c.written);
        EXPECT_EQ(test::FileBytes(files[0]) + test::FileBytes(files[2]) +
                      test::FileBytes(files[2] + ".bak"),
                  kDoc + kDoc + "old backup");
    }
    Logger::Instance().Shutdown();
    EXPECT_NE(test::FileBytes(Logger::Instance().FilePath())
                  .find("[WARN] Failed to back up EXE.xml before writing: " + files[0] + " ("),
              std::string::npos);
    EXPECT_EQ(test::FileBytes(files[0] + ".bak"), "old backup");
}

}  // namespace
}  // namespace tarnwick
