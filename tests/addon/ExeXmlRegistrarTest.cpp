#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "addon/ExeXmlRegistrar.h"
#include "addon/ExeXmlText.h"
#include "log/Logger.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

void SetEnv(const char* name, const std::optional<std::string>& value) {
#ifdef _WIN32
    _putenv_s(name, value.value_or("").c_str());  // an empty value removes the variable
#else
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
#endif
}

std::optional<std::string> GetEnv(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string Read(const std::string& path) {
    return test::FileBytes(path);
}

const std::string kDoc =
    "<SimBase.Document>\r\n    <Descr>SimConnect</Descr>\r\n</SimBase.Document>\r\n";

// The two variables point into a fresh folder for each test and are put back afterwards.
class ExeXmlRegistrarTest : public testing::Test {
protected:
    void SetUp() override {
        SetEnv("LOCALAPPDATA", dir_.File("Local"));
        SetEnv("APPDATA", dir_.File("Roaming"));
    }
    void TearDown() override {
        SetEnv("LOCALAPPDATA", local_);
        SetEnv("APPDATA", roaming_);
    }

    // The candidates in the order the registrar lists them, joined with the platform's separator.
    std::string Candidate(int index) const {
        static const char* const kParts[] = {
            "Local/Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalCache/EXE.xml",
            "Local/Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalState/EXE.xml",
            "Local/Packages/Microsoft.Limitless_8wekyb3d8bbwe/LocalCache/EXE.xml",
            "Roaming/Microsoft Flight Simulator/EXE.xml",
            "Roaming/Microsoft Flight Simulator 2024/EXE.xml"};
        std::string text = dir_.File(kParts[index]);
#ifdef _WIN32
        std::replace(text.begin(), text.end(), '/', '\\');
#endif
        return text;
    }
    std::string Put(int index, const std::string& content) const {
        const std::string path = Candidate(index);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    const std::optional<std::string> local_ = GetEnv("LOCALAPPDATA");
    const std::optional<std::string> roaming_ = GetEnv("APPDATA");
    test::TempDir dir_;
};

TEST_F(ExeXmlRegistrarTest, ListsExistingCandidatesInFixedOrder) {
    // Nothing installed: nothing listed, and registering creates nothing.
    const ExeXmlUpdate none = RegisterAddon("TarnwickHID", "t.exe", "");
    EXPECT_TRUE(none.outcome && none.filesWritten == 0 && FindExeXmlFiles().empty());
    EXPECT_FALSE(fs::exists(dir_.File("Local")) || fs::exists(dir_.File("Roaming")));
    for (const int i : {4, 2, 0}) {
        Put(i, kDoc);
    }
    EXPECT_EQ(FindExeXmlFiles(),
              (std::vector<std::string>{Candidate(0), Candidate(2), Candidate(4)}));
    SetEnv("LOCALAPPDATA", std::nullopt);
    EXPECT_EQ(FindExeXmlFiles(), (std::vector<std::string>{Candidate(4)}));
    SetEnv("APPDATA", "");
    EXPECT_TRUE(FindExeXmlFiles().empty());
}

TEST_F(ExeXmlRegistrarTest, RegisterWritesEveryFileAndBacksUpWhatWasThere) {
    const std::string blank = Put(0, "");
    const std::string full = Put(4, kDoc);
    const ExeXmlUpdate first = RegisterAddon("TarnwickHID", "a.exe", "--config \"c.json\"");
    EXPECT_TRUE(first.outcome && first.filesWritten == 2);
    EXPECT_EQ(Read(blank), AddAddonToDocument("", "TarnwickHID", "a.exe", "--config \"c.json\""));
    EXPECT_EQ(Read(full), AddAddonToDocument(kDoc, "TarnwickHID", "a.exe", "--config \"c.json\""));
    EXPECT_EQ(Read(blank + ".bak") + Read(full + ".bak"), kDoc);
    EXPECT_FALSE(fs::exists(full + ".tmp"));
    // The second run replaces the entry, and the backup holds the first run's result.
    const std::string registered = Read(full);
    EXPECT_EQ(RegisterAddon("TarnwickHID", "b.exe", "").filesWritten, 2);
    EXPECT_EQ(Read(full), AddAddonToDocument(kDoc, "TarnwickHID", "b.exe", ""));
    EXPECT_EQ(Read(full + ".bak"), registered);
    // Unregistering writes only the files that hold the entry.
    Put(2, kDoc);
    const ExeXmlUpdate removed = UnregisterAddon("tarnwickhid");
    EXPECT_TRUE(removed.outcome && removed.filesWritten == 2);
    EXPECT_EQ(Read(full) + Read(full + ".bak"),
              kDoc + AddAddonToDocument(kDoc, "TarnwickHID", "b.exe", ""));
    EXPECT_FALSE(fs::exists(Candidate(2) + ".bak"));
    EXPECT_EQ(UnregisterAddon("TarnwickHID").filesWritten, 0);
}

TEST_F(ExeXmlRegistrarTest, UnreadableFileIsReportedAndNeverReplaced) {
    // A folder named EXE.xml exists but cannot be read as a file.
    const std::string first = Put(0, kDoc);
    fs::create_directories(Candidate(1));
    const std::string last = Put(3, kDoc);
    const ExeXmlUpdate update = RegisterAddon("TarnwickHID", "a.exe", "");
    EXPECT_EQ(update.filesWritten, 1);
    EXPECT_EQ(update.outcome.Error(), "Failed to read: " + Candidate(1));
    EXPECT_TRUE(fs::is_directory(Candidate(1)));
    EXPECT_FALSE(fs::exists(Candidate(1) + ".bak") || fs::exists(Candidate(1) + ".tmp"));
    EXPECT_EQ(Read(last), kDoc);
    // Unregistering passes over it and goes on with the next file.
    Put(3, AddAddonToDocument(kDoc, "TarnwickHID", "a.exe", ""));
    const ExeXmlUpdate removed = UnregisterAddon("TarnwickHID");
    EXPECT_TRUE(removed.outcome && removed.filesWritten == 2);
    EXPECT_EQ(Read(first) + Read(last), kDoc + kDoc);
}

TEST_F(ExeXmlRegistrarTest, FailedWriteStopsAndLeavesFileWhole) {
    const std::string first = Put(0, kDoc);
    const std::string second = Put(2, kDoc);
    fs::create_directories(first + ".tmp");  // the temporary file cannot be created
    const ExeXmlUpdate update = RegisterAddon("TarnwickHID", "a.exe", "");
    EXPECT_EQ(update.filesWritten, 0);
    EXPECT_EQ(update.outcome.Error(), "Failed to open for write: " + first);
    EXPECT_EQ(Read(first) + Read(second), kDoc + kDoc);
    EXPECT_FALSE(fs::exists(second + ".bak"));
}

TEST_F(ExeXmlRegistrarTest, FailedBackupKeepsTheOldOneAndStopsTheWrite) {
    const std::string path = Put(0, kDoc);
    std::ofstream(path + ".bak", std::ios::binary) << "old backup";
    // The copy cannot be made: a non-empty folder holds its temporary name.
    fs::create_directories(path + ".bak.tmp/keep");
    Logger::Instance().Init(dir_.File("logs"), "TarnwickHID", false);
    EXPECT_EQ(WriteExeXmlFile(path, "new").Error(), "Failed to back up: " + path);
    Logger::Instance().Shutdown();
    EXPECT_EQ(Read(path) + Read(path + ".bak"), kDoc + "old backup");
    EXPECT_NE(Read(Logger::Instance().FilePath())
                  .find("[WARN] Failed to back up EXE.xml before writing: " + path + " ("),
              std::string::npos);
}

}  // namespace
}  // namespace tarnwick
