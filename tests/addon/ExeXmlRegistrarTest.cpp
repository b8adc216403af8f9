#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "addon/ExeXmlRegistrar.h"
#include "addon/ExeXmlText.h"
#include "log/Logger.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

void SetEnvVar(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void UnsetEnvVar(const char* name) {
#ifdef _WIN32
    _putenv_s(name, "");  // an empty value removes the variable
#else
    unsetenv(name);
#endif
}

// Points an environment variable somewhere for one test and puts the old value back.
class ScopedEnv {
public:
    explicit ScopedEnv(const char* name) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
        }
    }
    ~ScopedEnv() {
        if (old_) {
            SetEnvVar(name_, *old_);
        } else {
            UnsetEnvVar(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool Exists(const std::string& path) {
    return fs::exists(fs::path(path));
}

// Relative candidate paths written with '/', in the order the registrar must list them.
const std::vector<std::string> kLocalParts = {
    "Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalCache/EXE.xml",
    "Packages/Microsoft.FlightSimulator_8wekyb3d8bbwe/LocalState/EXE.xml",
    "Packages/Microsoft.Limitless_8wekyb3d8bbwe/LocalCache/EXE.xml",
};
const std::vector<std::string> kRoamingParts = {
    "Microsoft Flight Simulator/EXE.xml",
    "Microsoft Flight Simulator 2024/EXE.xml",
};

const std::string kDoc =
    "<SimBase.Document>\r\n    <Descr>SimConnect</Descr>\r\n</SimBase.Document>\r\n";

class ExeXmlRegistrarTest : public testing::Test {
protected:
    void SetUp() override {
        local_ = dir_.File("Local");
        roaming_ = dir_.File("Roaming");
        SetEnvVar("LOCALAPPDATA", local_);
        SetEnvVar("APPDATA", roaming_);
    }

    // The candidate's text as the registrar builds it: base folder plus the fixed parts, joined
    // with the platform's separator.
    std::string Candidate(int index) const {
        const bool local = index < 3;
        std::string text = (local ? local_ : roaming_) + "/" +
                           (local ? kLocalParts[index] : kRoamingParts[index - 3]);
#ifdef _WIN32
        for (char& c : text) {
            c = c == '/' ? '\\' : c;
        }
#endif
        return text;
    }

    std::string Put(int index, const std::string& content) {
        const std::string path = Candidate(index);
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string PutFolder(int index) {
        fs::create_directories(Candidate(index));
        return Candidate(index);
    }

    test::TempDir dir_;
    ScopedEnv localEnv_{"LOCALAPPDATA"};
    ScopedEnv roamingEnv_{"APPDATA"};
    std::string local_;
    std::string roaming_;
};

TEST_F(ExeXmlRegistrarTest, ListsExistingCandidatesInFixedOrder) {
    // Nothing installed: nothing listed, and registering creates nothing.
    EXPECT_TRUE(FindExeXmlFiles().empty());
    std::string error;
    EXPECT_EQ(RegisterAddon("TarnwickHID", "t.exe", "", error), 0);
    EXPECT_EQ(error, "");
    EXPECT_FALSE(Exists(local_) || Exists(roaming_));

    for (int i = 4; i >= 0; --i) {
        Put(i, kDoc);
    }
    EXPECT_EQ(FindExeXmlFiles(), (std::vector<std::string>{Candidate(0), Candidate(1), Candidate(2),
                                                           Candidate(3), Candidate(4)}));
    fs::remove(Candidate(1));
    fs::remove(Candidate(3));
    EXPECT_EQ(FindExeXmlFiles(),
              (std::vector<std::string>{Candidate(0), Candidate(2), Candidate(4)}));

    UnsetEnvVar("LOCALAPPDATA");
    EXPECT_EQ(FindExeXmlFiles(), (std::vector<std::string>{Candidate(4)}));
    SetEnvVar("APPDATA", "");
    EXPECT_TRUE(FindExeXmlFiles().empty());
}

TEST_F(ExeXmlRegistrarTest, RegisterWritesEveryFileAndBacksUpPreviousContent) {
    const std::string blank = Put(0, "");
    const std::string full = Put(4, kDoc);
    std::string error;
    EXPECT_EQ(RegisterAddon("TarnwickHID", "a.exe", "--config \"c.json\"", error), 2);
    EXPECT_EQ(error, "");
    EXPECT_EQ(Read(blank), AddAddonToDocument("", "TarnwickHID", "a.exe", "--config \"c.json\""));
    EXPECT_EQ(Read(full), AddAddonToDocument(kDoc, "TarnwickHID", "a.exe", "--config \"c.json\""));
    EXPECT_EQ(Read(blank + ".bak"), "");
    EXPECT_EQ(Read(full + ".bak"), kDoc);
    EXPECT_FALSE(Exists(full + ".tmp"));

    // The second run replaces the entry, and the backup holds the first run's result.
    const std::string first = Read(full);
    EXPECT_EQ(RegisterAddon("TarnwickHID", "b.exe", "", error), 2);
    EXPECT_EQ(Read(full), AddAddonToDocument(kDoc, "TarnwickHID", "b.exe", ""));
    EXPECT_EQ(Read(full + ".bak"), first);
}

TEST_F(ExeXmlRegistrarTest, UnreadableFileIsReportedAndNeverReplaced) {
    // A folder named EXE.xml exists but cannot be read as a file.
    const std::string first = Put(0, kDoc);
    const std::string folder = PutFolder(1);
    const std::string last = Put(3, kDoc);
    std::string error;
    EXPECT_EQ(RegisterAddon("TarnwickHID", "a.exe", "", error), 1);
    EXPECT_EQ(error, "Failed to read: " + folder);
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(Exists(folder + ".bak"));
    EXPECT_FALSE(Exists(folder + ".tmp"));
    EXPECT_NE(Read(first), kDoc);
    EXPECT_EQ(Read(last), kDoc);

    // Unregistering passes over it and goes on with the next file.
    Put(3, AddAddonToDocument(kDoc, "TarnwickHID", "a.exe", ""));
    error.clear();
    EXPECT_EQ(UnregisterAddon("TarnwickHID", error), 2);
    EXPECT_EQ(error, "");
    EXPECT_EQ(Read(first), kDoc);
    EXPECT_EQ(Read(last), kDoc);
    EXPECT_TRUE(fs::is_directory(folder));
}

TEST_F(ExeXmlRegistrarTest, FailedWriteStopsAndLeavesFileWhole) {
    const std::string first = Put(0, kDoc);
    const std::string second = Put(2, kDoc);
    fs::create_directories(first + ".tmp");  // the temporary file cannot be created
    std::string error;
    EXPECT_EQ(RegisterAddon("TarnwickHID", "a.exe", "", error), 0);
    EXPECT_EQ(error, "Failed to open for write: " + first);
    EXPECT_EQ(Read(first), kDoc);
    EXPECT_EQ(Read(second), kDoc);
    EXPECT_FALSE(Exists(second + ".bak"));
}

TEST_F(ExeXmlRegistrarTest, UnregisterWritesOnlyFilesThatHoldTheEntry) {
    const std::string with = Put(1, kDoc);
    const std::string registered = AddAddonToDocument(kDoc, "TarnwickHID", "a.exe", "x");
    Put(1, registered);
    const std::string without = Put(2, kDoc);
    const std::string empty = Put(4, "");
    std::string error;
    EXPECT_EQ(UnregisterAddon("tarnwickhid", error), 1);
    EXPECT_EQ(error, "");
    EXPECT_EQ(Read(with), kDoc);
    EXPECT_EQ(Read(with + ".bak"), registered);
    EXPECT_EQ(Read(without), kDoc);
    EXPECT_FALSE(Exists(without + ".bak"));
    EXPECT_FALSE(Exists(empty + ".bak"));
    EXPECT_EQ(UnregisterAddon("TarnwickHID", error), 0);
    EXPECT_EQ(Read(with + ".bak"), registered);
}

TEST_F(ExeXmlRegistrarTest, FailedBackupKeepsTheOldOneAndStopsTheWrite) {
    const std::string path = Put(0, kDoc);
    std::ofstream(path + ".bak", std::ios::binary) << "old backup";
    // The copy cannot be made: a non-empty folder holds its temporary name.
    fs::create_directories(path + ".bak.tmp/keep");
    Logger::Instance().Init(dir_.File("logs"), "TarnwickHID", false);
    std::string error;
    EXPECT_FALSE(WriteExeXmlFile(path, "new", error));
    Logger::Instance().Shutdown();
    EXPECT_EQ(error, "Failed to back up: " + path);
    EXPECT_EQ(Read(path), kDoc);
    EXPECT_EQ(Read(path + ".bak"), "old backup");
    EXPECT_NE(Read(Logger::Instance().FilePath())
                  .find("[WARN] Failed to back up EXE.xml before writing: " + path + " ("),
              std::string::npos);
}

}  // namespace
}  // namespace tarnwick
