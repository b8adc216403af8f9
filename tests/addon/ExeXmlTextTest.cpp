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

// The block with a command line is the one registering writes (shown end to end); without one
// the line is left out.
TEST(ExeXmlTextTest, BlocksAreCrLfLinesWithEveryFieldEscaped) {
    EXPECT_EQ(BuildAddonBlock("A&B", "C:\\<x>\\a.exe", ""),
              "    <Launch.Addon>\r\n        <Name>A&amp;B</Name>\r\n"
              "        <Disabled>False</Disabled>\r\n        <Path>C:\\&lt;x&gt;\\a.exe</Path>\r\n"
              "    </Launch.Addon>\r\n");
    EXPECT_NE(BuildAddonBlock("N", "p", "<a&b>").find("<CommandLine>&lt;a&amp;b&gt;</CommandLine>"),
              std::string::npos);
}

// Each row: a document, what registering makes of it, and what unregistering makes of that (the
// document itself unless the row says otherwise).
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
        std::string removedAgain;
    } cases[] = {
        // A blank document becomes the default one; removal leaves that.
        {" \t\r\n\v\f", blank.substr(0, blank.size() - tail.size()) + kBlock + tail, blank},
        // Line-feed documents keep their own line ends; only the block brings CR LF.
        {"<A>\n  <B>x</B>\n  </simbase.document>\n",
         "<A>\n  <B>x</B>\n" + kBlock + "  </simbase.document>\n", ""},
        // Without the closing root tag the block is appended; trailing indentation stays behind it.
        {"<A/>\r\n  ", "<A/>\r\n" + kBlock + "  ", ""},
        // Names compare escaped, trimmed and without case; neighbours on the same line stay.
        {head + padded + other + tail, head + kBlock + other + tail, head + other + tail},
        {head + longer + tail, head + longer + kBlock + tail, ""},
        {head + nameless + tail, head + nameless + kBlock + tail, ""},
        {head + behind + tail, head + behind + kBlock + tail, ""},
        {head + ours + other + tail, head + kBlock + other + tail, head + other + tail},
        {head + other + "  " + ours + tail, head + other + kBlock + tail, head + other + tail},
        {"<A/>\r\n  " + ours + " \t", "<A/>\r\n" + kBlock, "<A/>\r\n"},
        {head + damaged + tail, head + damaged + kBlock + tail, ""},
        {head + unclosed + tail, head + unclosed + kBlock + tail, ""}};
    for (const auto& c : cases) {
        const std::string added = Add(c.document);
        EXPECT_EQ(added, c.added) << c.document;
        EXPECT_EQ(Add(added), added) << c.document;
        EXPECT_EQ(RemoveAddonFromDocument(added, kName),
                  c.removedAgain.empty() ? c.document : c.removedAgain)
            << c.document;
    }
    EXPECT_EQ(RemoveAddonFromDocument(head + damaged + kBlock + tail, kName),
              head + damaged + tail);
    const std::string escaped = AddAddonToDocument(tail, "Cockpit & Co", "x.exe", "");
    EXPECT_EQ(RemoveAddonFromDocument(escaped, "COCKPIT & co"), tail);
}

}  // namespace
}  // namespace tarnwick
