// The real executable, run as a user runs it, against EXE.xml files in temporary folders.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "support/ChildProcess.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
constexpr const char* kSep = "\\";
constexpr const char* kNl = "\r\n";  // the C runtime's text-mode streams
#else
constexpr const char* kExeName = "TarnwickHID";
constexpr const char* kSep = "/";
constexpr const char* kNl = "\n";
#endif

const std::string kOriginal =
    "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n"
    "<SimBase.Document Type=\"SimConnect\" version=\"1,0\">\r\n"
    "    <Descr>SimConnect</Descr>\r\n"
    "    <Filename>EXE.xml</Filename>\r\n"
    "    <Disabled>False</Disabled>\r\n"
    "    <Launch.Addon>\r\n"
    "        <Name>Other &amp; Co</Name>\r\n"
    "        <Disabled>False</Disabled>\r\n"
    "        <Path>C:\\Other\\other.exe</Path>\r\n"
    "    </Launch.Addon>\r\n"
    "</SimBase.Document>\r\n";

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else {
            out += c;
        }
    }
    return out;
}

class OneShotCommandsTest : public testing::Test {
protected:
    void SetUp() override {
        exe_ = (fs::path(test::CurrentExecutablePath()).parent_path() / kExeName).string();
        ASSERT_TRUE(fs::exists(exe_)) << exe_;
        roaming_ = (dir_.Path() / "Roaming").string();
        local_ = (dir_.Path() / "Local").string();
        fs::create_directories(roaming_);
        fs::create_directories(local_);
        fs::create_directories(dir_.Path() / "out");
    }

    test::ChildResult Run(const std::vector<std::string>& args) {
        return test::RunChild(exe_, args, {{"APPDATA", roaming_}, {"LOCALAPPDATA", local_}},
                              (dir_.Path() / "out").string());
    }

    // Where the simulator keeps EXE.xml, as the program names it.
    std::string Msfs2020() const {
        return roaming_ + kSep + "Microsoft Flight Simulator" + kSep + "EXE.xml";
    }
    std::string StoreCache() const {
        return local_ + kSep + "Packages" + kSep + "Microsoft.FlightSimulator_8wekyb3d8bbwe" +
               kSep + "LocalCache" + kSep + "EXE.xml";
    }
    void Install(const std::string& path, const std::string& content) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }

    test::TempDir dir_;
    std::string exe_;
    std::string roaming_;
    std::string local_;
};

TEST_F(OneShotCommandsTest, ListWithoutSimulatorSaysSo) {
    const auto result = Run({"--list-exe-xml"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, std::string("No MSFS installations detected.") + kNl);
    EXPECT_EQ(result.err, "");
}

TEST_F(OneShotCommandsTest, ListPrintsEveryInstallationInSearchOrder) {
    Install(Msfs2020(), kOriginal);
    Install(StoreCache(), kOriginal);
    // Listing wins over every other switch.
    const auto result = Run({"--register", "--list-exe-xml"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, StoreCache() + kNl + Msfs2020() + kNl);
    EXPECT_EQ(test::FileBytes(Msfs2020()), kOriginal);
}

TEST_F(OneShotCommandsTest, RegisterThenUnregisterRoundTripsTheFile) {
    Install(Msfs2020(), kOriginal);
    const std::string configPath = (dir_.Path() / "cfg" / "config.json").string();

    const auto reg = Run({"--register", "--config", configPath});
    EXPECT_EQ(reg.exitCode, 0) << reg.err;
    EXPECT_EQ(reg.out, std::string("Registered in 1 MSFS EXE.xml file(s).") + kNl);
    EXPECT_EQ(reg.err, "");

    const std::string block = std::string("    <Launch.Addon>\r\n") +
                              "        <Name>TarnwickHID</Name>\r\n" +
                              "        <Disabled>False</Disabled>\r\n" + "        <Path>" +
                              XmlEscape(exe_) + "</Path>\r\n" + "        <CommandLine>--config \"" +
                              XmlEscape(configPath) + "\"</CommandLine>\r\n" +
                              "    </Launch.Addon>\r\n";
    std::string expected = kOriginal;
    expected.insert(expected.find("</SimBase.Document>"), block);
    EXPECT_EQ(test::FileBytes(Msfs2020()), expected);
    EXPECT_EQ(test::FileBytes(Msfs2020() + ".bak"), kOriginal);

    // Registering again replaces our entry rather than adding a second one.
    const auto again = Run({"--register", "--unregister", "--config", configPath});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_EQ(test::FileBytes(Msfs2020()), expected);

    const auto unreg = Run({"--unregister"});
    EXPECT_EQ(unreg.exitCode, 0) << unreg.err;
    EXPECT_EQ(unreg.out, std::string("Unregistered from 1 MSFS EXE.xml file(s).") + kNl);
    EXPECT_EQ(test::FileBytes(Msfs2020()), kOriginal);

    // Nothing left to remove: the file is neither written nor counted.
    fs::remove(Msfs2020() + ".bak");
    const auto none = Run({"--unregister"});
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out, std::string("Unregistered from 0 MSFS EXE.xml file(s).") + kNl);
    EXPECT_FALSE(fs::exists(Msfs2020() + ".bak"));
}

TEST_F(OneShotCommandsTest, RegisterWithoutSimulatorWritesNothing) {
    const auto result = Run({"--register"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, std::string("Registered in 0 MSFS EXE.xml file(s).") + kNl);
    EXPECT_FALSE(fs::exists(Msfs2020()));
}

TEST_F(OneShotCommandsTest, UnreadableExeXmlIsReportedAndNeverReplaced) {
    // Something exists at the path but cannot be read as a file.
    fs::create_directories(Msfs2020());
    const auto result = Run({"--register"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("EXE.xml update failed after 0 file(s): ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(Msfs2020()), std::string::npos) << result.err;
    EXPECT_TRUE(fs::is_directory(Msfs2020()));
}


}  // namespace
}  // namespace tarnwick
