#include <string>

#include <gtest/gtest.h>

#include "addon/ExeXmlText.h"

namespace tarnwick {
namespace {

const std::string kName = "TarnwickHID";
const std::string kBlock = BuildAddonBlock(kName, "C:\\Tools\\T.exe", "--config \"c.json\"");

std::string Add(const std::string& document) {
    return AddAddonToDocument(document, kName, "C:\\Tools\\T.exe", "--config \"c.json\"");
}

// Each row: a document and what registering makes of it. That unregistering takes out exactly
// the entry, and that registering twice changes nothing more, the fuzz target checks.
TEST(ExeXmlTextTest, EntriesGoInAndOutTouchingNothingElse) {
    const std::string head = "<SimBase.Document>\r\n    <Descr>SimConnect</Descr>\r\n";
    const std::string tail = "</SimBase.Document>\r\n";
    const std::string ours = "<Launch.Addon><Name>TarnwickHID</Name></Launch.Addon>";
    const std::string other = "<Launch.Addon><Name>Other</Name></Launch.Addon>";
    const std::string padded = "<launch.addon><name> \r\n TARNWICKhid\t</name></launch.addon>\r\n";
    const std::string longer = "<Launch.Addon><Name>TarnwickHID2</Name></Launch.Addon>\r\n";
    const std::string nameless = "<Launch.Addon><Path>TarnwickHID</Path></Launch.Addon>\r\n";
    const std::string behind =
        "    <Launch.Addon>\r\n    </Launch.Addon>\r\n    <Name>TarnwickHID</Name>\r\n";
    // An opening tag without its closing tag must not start "our" block.
    const std::string damaged = "    <Launch.Addon>\r\n        <Path>broken.exe</Path>\r\n";
    const std::string unclosed = "<Launch.Addon><Name>TarnwickHID</Name>\r\n";
    const std::string blank(DefaultExeXmlDocument());
    const struct {
        std::string document;
        std::string added;
    } cases[] = {
        // A blank document becomes the default one.
        {" \t\r\n\v\f", blank.substr(0, blank.size() - tail.size()) + kBlock + tail},
        // Line-feed documents keep their own line ends; only the block brings CR LF.
        {"<A>\n  <B>x</B>\n  </simbase.document>\n",
         "<A>\n  <B>x</B>\n" + kBlock + "  </simbase.document>\n"},
        // Without the closing root tag the block is appended; trailing indentation stays behind it.
        {"<A/>\r\n  ", "<A/>\r\n" + kBlock + "  "},
        // Names compare escaped, trimmed and without case; neighbours on the same line stay.
        {head + padded + other + tail, head + kBlock + other + tail},
        {head + longer + tail, head + longer + kBlock + tail},
        {head + nameless + tail, head + nameless + kBlock + tail},
        {head + behind + tail, head + behind + kBlock + tail},
        {head + ours + other + tail, head + kBlock + other + tail},
        {head + other + "  " + ours + tail, head + other + kBlock + tail},
        {"<A/>\r\n  " + ours + " \t", "<A/>\r\n" + kBlock},
        {head + damaged + tail, head + damaged + kBlock + tail},
        {head + unclosed + tail, head + unclosed + kBlock + tail}};
    for (const auto& c : cases) {
        EXPECT_EQ(Add(c.document), c.added) << c.document;
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
