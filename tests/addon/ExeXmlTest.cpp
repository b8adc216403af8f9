#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <utility>

#include <gtest/gtest.h>

#include "addon/ExeXmlRegistrar.h"
#include "addon/ExeXmlText.h"
#include "config/PathText.h"
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
    const test::LogCapture log;
    // The file that fails, a folder in the way of it or of one of its companions, the message, and
    // how many files were written before.
    const std::tuple<int, const char*, const char*, int> cases[] = {
        {1, "", "Failed to read: ", 1},
        {0, ".tmp", "Failed to open for write: ", 0},
        {0, ".bak.tmp/keep", "Failed to back up: ", 0}};
    for (const auto& [broken, blocker, message, written] : cases) {
        fs::remove_all(dir.File("Local"));
        for (const int i : {0, 2}) {
            put(files[i], kDoc);
            put(files[i] + ".bak", "old backup");
        }
        fs::create_directories(files[broken] + blocker);
        const ExeXmlUpdate update = RegisterAddon("TarnwickHID", "a.exe", "");
        EXPECT_EQ(update.outcome.Error(), message + files[broken]);
        EXPECT_EQ(update.filesWritten, written);
        EXPECT_EQ(UnregisterAddon("TarnwickHID").filesWritten, written);
        EXPECT_EQ(test::FileBytes(files[0]) + test::FileBytes(files[2]) +
                      test::FileBytes(files[2] + ".bak"),
                  kDoc + kDoc + "old backup");
    }
    EXPECT_EQ(
        log.Matching("[WARN] Failed to back up EXE.xml before writing: " + files[0] + " (").size(),
        1u);
    EXPECT_EQ(test::FileBytes(files[0] + ".bak"), "old backup");
}

const std::string kName = "TarnwickHID", kPath = "C:\\Tools\\T.exe", kCommand = "--config c.json";
const std::string kBlock = BuildAddonBlock(kName, kPath, kCommand);

// Each row: a document and what registering makes of it. That unregistering takes out exactly
// the entry, and that registering twice changes nothing more, the fuzz target checks.
TEST(ExeXmlTextTest, EntriesGoInAndOutTouchingNothingElse) {
    const std::string head = "<SimBase.Document>\r\n    <Descr>SimConnect</Descr>\r\n";
    const std::string tail = "</SimBase.Document>\r\n";
    const std::string ours = "<Launch.Addon><Name>TarnwickHID</Name></Launch.Addon>";
    const std::string other = "<Launch.Addon><Name>Other</Name></Launch.Addon>";
    const std::string padded = "<launch.addon><name> \r\n TARNWICKhid\t</name></launch.addon>\r\n";
    // Not ours: a longer name, our name in another field, our name behind a closed block.
    const std::string notOurs =
        "<Launch.Addon><Name>TarnwickHID2</Name></Launch.Addon>\r\n"
        "<Launch.Addon><Path>TarnwickHID</Path></Launch.Addon>\r\n"
        "    <Launch.Addon>\r\n    </Launch.Addon>\r\n    <Name>TarnwickHID</Name>\r\n";
    // An opening tag without its closing tag must not start "our" block.
    const std::string damaged = "    <Launch.Addon>\r\n        <Path>broken.exe</Path>\r\n";
    const std::string unclosed = "<Launch.Addon><Name>TarnwickHID</Name>\r\n";
    const std::string blank(DefaultExeXmlDocument());
    const std::pair<std::string, std::string> cases[] = {
        // A blank document becomes the default one.
        {" \t\r\n\v\f", blank.substr(0, blank.size() - tail.size()) + kBlock + tail},
        // Line-feed documents keep their own line ends; only the block brings CR LF.
        {"<A>\n  <B>x</B>\n  </simbase.document>\n",
         "<A>\n  <B>x</B>\n" + kBlock + "  </simbase.document>\n"},
        // Without the closing root tag the block is appended; trailing indentation stays behind it.
        {"<A/>\r\n  ", "<A/>\r\n" + kBlock + "  "},
        // Names compare escaped, trimmed and without case; neighbours on the same line stay.
        {head + padded + other + tail, head + kBlock + other + tail},
        {head + notOurs + tail, head + notOurs + kBlock + tail},
        {head + ours + other + tail, head + kBlock + other + tail},
        {head + other + "  " + ours + tail, head + other + kBlock + tail},
        {"<A/>\r\n  " + ours + " \t", "<A/>\r\n" + kBlock},
        {head + damaged + tail, head + damaged + kBlock + tail},
        {head + unclosed + tail, head + unclosed + kBlock + tail}};
    for (const auto& [document, added] : cases) {
        EXPECT_EQ(AddAddonToDocument(document, kName, kPath, kCommand), added) << document;
    }
    EXPECT_EQ(RemoveAddonFromDocument(head + damaged + kBlock + tail, kName),
              head + damaged + tail);
    // Every field is escaped; without a command line its line is left out.
    const std::string escaped = AddAddonToDocument(tail, "A&B", "C:\\<x>\\a.exe", "");
    EXPECT_EQ(escaped,
              "    <Launch.Addon>\r\n        <Name>A&amp;B</Name>\r\n"
              "        <Disabled>False</Disabled>\r\n        <Path>C:\\&lt;x&gt;\\a.exe</Path>\r\n"
              "    </Launch.Addon>\r\n" +
                  tail);
    EXPECT_EQ(RemoveAddonFromDocument(escaped, "a&b"), tail);
    EXPECT_NE(BuildAddonBlock("N", "p", "<a&b>").find("<CommandLine>&lt;a&amp;b&gt;</CommandLine>"),
              std::string::npos);
}

}  // namespace
}  // namespace tarnwick
