// The real executable's one-shot commands, run as a user runs them one after another against
// EXE.xml files in temporary folders: exact output, exit code and file bytes after each.
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

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
const std::string kAbsent = "(absent)", kAny = "(any)";

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
    }
    return out;
}

TEST(OneShotCommandsTest, ListRegisterAndUnregisterOneAfterAnother) {
    test::TempDir dir;
    const std::string exe =
        (fs::path(test::CurrentExecutablePath()).parent_path() / kExeName).string();
    const std::string roaming = dir.File("Roaming"), local = dir.File("Local");
    // Where the simulators keep EXE.xml, as the program names them.
    const std::string msfs = roaming + kSep + "Microsoft Flight Simulator" + kSep + "EXE.xml";
    const std::string store = local + kSep + "Packages" + kSep +
                              "Microsoft.FlightSimulator_8wekyb3d8bbwe" + kSep + "LocalCache" +
                              kSep + "EXE.xml";
    const std::string config = dir.File("cfg/config.json");
    const auto install = [](const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << kOriginal;
    };
    std::string registered = kOriginal;
    registered.insert(registered.find("</SimBase.Document>"),
                      "    <Launch.Addon>\r\n        <Name>TarnwickHID</Name>\r\n"
                      "        <Disabled>False</Disabled>\r\n        <Path>" +
                          XmlEscape(exe) + "</Path>\r\n        <CommandLine>--config \"" +
                          XmlEscape(config) + "\"</CommandLine>\r\n    </Launch.Addon>\r\n");

    struct Step {
        std::function<void()> before;
        std::vector<std::string> args;
        int exitCode;
        std::string out, err, file, backup;  // file and backup: EXE.xml of MSFS and its .bak
    };
    const std::vector<Step> steps = {
        {[] {},
         {"--list-exe-xml"},
         0,
         std::string("No MSFS installations detected.") + kNl,
         "",
         kAbsent,
         kAbsent},
        {[] {},
         {"--register"},
         0,
         std::string("Registered in 0 MSFS EXE.xml file(s).") + kNl,
         "",
         kAbsent,
         kAbsent},
        // Listing wins over every other switch, and names the installations in search order.
        {[&] { install(msfs), install(store); },
         {"--register", "--list-exe-xml"},
         0,
         store + kNl + msfs + kNl,
         "",
         kOriginal,
         kAbsent},
        {[&] { fs::remove(store); },
         {"--register", "--config", config},
         0,
         std::string("Registered in 1 MSFS EXE.xml file(s).") + kNl,
         "",
         registered,
         kOriginal},
        // Registering again replaces our entry rather than adding a second one.
        {[] {},
         {"--register", "--unregister", "--config", config},
         0,
         std::string("Registered in 1 MSFS EXE.xml file(s).") + kNl,
         "",
         registered,
         kAny},
        {[] {},
         {"--unregister"},
         0,
         std::string("Unregistered from 1 MSFS EXE.xml file(s).") + kNl,
         "",
         kOriginal,
         kAny},
        // Nothing left to remove: the file is neither written nor counted.
        {[&] { fs::remove(msfs + ".bak"); },
         {"--unregister"},
         0,
         std::string("Unregistered from 0 MSFS EXE.xml file(s).") + kNl,
         "",
         kOriginal,
         kAbsent},
        // Something that cannot be read as a file is reported and never replaced.
        {[&] { fs::remove(msfs), fs::create_directories(msfs); },
         {"--register"},
         1,
         "",
         "EXE.xml update failed after 0 file(s): Failed to read: " + msfs + kNl,
         kAny,
         kAbsent},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        s.before();
        const auto result = test::RunChild(
            exe, s.args,
            test::ChildOptions{
                {{"APPDATA", roaming}, {"LOCALAPPDATA", local}}, dir.Path().string(), ""});
        EXPECT_EQ(result.exitCode, s.exitCode) << "step " << i;
        EXPECT_EQ(result.out, s.out) << "step " << i;
        EXPECT_EQ(result.err, s.err) << "step " << i;
        for (const auto& [path, expected] :
             {std::pair{msfs, s.file}, std::pair{msfs + ".bak", s.backup}}) {
            if (expected != kAny) {
                EXPECT_EQ(fs::is_regular_file(path) ? test::FileBytes(path) : kAbsent, expected)
                    << "step " << i << " " << path;
            }
        }
    }
    EXPECT_TRUE(fs::is_directory(msfs));
}

}  // namespace
}  // namespace tarnwick
