// The real executable's one-shot commands, run as a user runs them one after another against
// EXE.xml files in temporary folders: exact output, exit code and file bytes after each.
#include <map>
#include <sstream>

#include <gtest/gtest.h>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr const char* kExeName = "TarnwickHID.exe";
constexpr const char* kNl = "\r\n";  // the C runtime's text-mode streams
#else
constexpr const char* kExeName = "TarnwickHID";
constexpr const char* kNl = "\n";
#endif

TEST(OneShotCommandsTest, ListRegisterAndUnregisterOneAfterAnother) {
    test::TempDir dir;
    const std::string exe =
        (fs::path(test::CurrentExecutablePath()).parent_path() / kExeName).string();
    const fs::path roaming = dir.Path() / "Roaming", local = dir.Path() / "Local";
    // Where the simulators keep EXE.xml, as the program names them.
    const std::string msfs = (roaming / "Microsoft Flight Simulator" / "EXE.xml").string();
    const std::string store =
        (local / "Packages" / "Microsoft.FlightSimulator_8wekyb3d8bbwe" / "LocalCache" / "EXE.xml")
            .string();
    const std::string config = dir.File("cfg/config.json");
    // An EXE.xml as the simulator writes it (the file in the repository has LF line ends).
    std::string original;
    for (char c : test::FileBytes(TARNWICK_TEST_DATA_DIR "/oneshot/EXE.xml"))
        original.append(c == '\n' ? "\r\n" : std::string(1, c));
    const auto install = [&](const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary) << original;
    };
    // The test's paths hold nothing XML would escape.
    std::string registered = original;
    registered.insert(registered.find("</SimBase.Document>"),
                      "    <Launch.Addon>\r\n        <Name>TarnwickHID</Name>\r\n"
                      "        <Disabled>False</Disabled>\r\n        <Path>" +
                          exe + "</Path>\r\n        <CommandLine>--config \"" + config +
                          "\"</CommandLine>\r\n    </Launch.Addon>\r\n");
    // The files' bytes after a step: 'O' the original, 'R' with our entry, '-' absent, '*' any.
    const std::map<char, std::string> bytes = {
        {'O', original}, {'R', registered}, {'-', "(absent)"}};
    const std::string reg = " --config " + config;
    struct Step {
        std::function<void()> before;
        std::string args, out, err;  // out and err: one line each, or none
        char file, backup;           // EXE.xml of MSFS and its .bak
    };
    const std::vector<Step> steps = {
        {[] {}, "--list-exe-xml", "No MSFS installations detected.", "", '-', '-'},
        {[] {}, "--register", "Registered in 0 MSFS EXE.xml file(s).", "", '-', '-'},
        // Listing wins over every other switch, and names the installations in search order.
        {[&] { install(msfs), install(store); }, "--register --list-exe-xml", store + kNl + msfs,
         "", 'O', '-'},
        {[&] { fs::remove(store); }, "--register" + reg, "Registered in 1 MSFS EXE.xml file(s).",
         "", 'R', 'O'},
        // Registering again replaces our entry rather than adding a second one.
        {[] {}, "--register --unregister" + reg, "Registered in 1 MSFS EXE.xml file(s).", "", 'R',
         '*'},
        {[] {}, "--unregister", "Unregistered from 1 MSFS EXE.xml file(s).", "", 'O', '*'},
        // Nothing left to remove: the file is neither written nor counted.
        {[&] { fs::remove(msfs + ".bak"); }, "--unregister",
         "Unregistered from 0 MSFS EXE.xml file(s).", "", 'O', '-'},
        // Something that cannot be read as a file is reported and never replaced.
        {[&] { fs::remove(msfs), fs::create_directories(msfs); }, "--register", "",
         "EXE.xml update failed after 0 file(s): Failed to read: " + msfs, '*', '-'},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        s.before();
        std::vector<std::string> args;
        std::istringstream words(s.args);
        for (std::string word; words >> word;)
            args.push_back(word);
        const auto result =
            test::RunChild(exe, args,
                           {{{"APPDATA", roaming.string()}, {"LOCALAPPDATA", local.string()}},
                            dir.Path().string()});
        EXPECT_EQ(result.exitCode, s.err.empty() ? 0 : 1) << "step " << i;
        EXPECT_EQ(result.out, s.out.empty() ? "" : s.out + kNl) << "step " << i;
        EXPECT_EQ(result.err, s.err.empty() ? "" : s.err + kNl) << "step " << i;
        for (const auto& [path, expected] : {std::pair{msfs, s.file}, {msfs + ".bak", s.backup}}) {
            if (expected != '*') {
                EXPECT_EQ(fs::is_regular_file(path) ? test::FileBytes(path) : "(absent)",
                          bytes.at(expected))
                    << "step " << i << " " << path;
            }
        }
    }
    EXPECT_TRUE(fs::is_directory(msfs));
}

}  // namespace
}  // namespace tarnwick
