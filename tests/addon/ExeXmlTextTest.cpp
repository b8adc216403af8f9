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
std::string Remove(const std::string& document) {
    return RemoveAddonFromDocument(document, kName);
}

// An ordinary document as the simulator ships it, one element per line, CR LF line ends.
const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n"
    "<SimBase.Document Type=\"SimConnect\" version=\"1,0\">\r\n"
    "    <Descr>SimConnect</Descr>\r\n";
const std::string kOther =
    "    <Launch.Addon>\r\n        <Name>Other Tool</Name>\r\n"
    "        <Path>C:\\Other\\other.exe</Path>\r\n    </Launch.Addon>\r\n";
const std::string kTail = "</SimBase.Document>\r\n";

TEST(ExeXmlTextTest, BlocksAreCrLfLinesWithEveryFieldEscaped) {
    EXPECT_EQ(BuildAddonBlock("A&B", "C:\\<x>\\a.exe", "--config \"a&b.json\""),
              "    <Launch.Addon>\r\n        <Name>A&amp;B</Name>\r\n"
              "        <Disabled>False</Disabled>\r\n        <Path>C:\\&lt;x&gt;\\a.exe</Path>\r\n"
              "        <CommandLine>--config \"a&amp;b.json\"</CommandLine>\r\n"
              "    </Launch.Addon>\r\n");
    EXPECT_EQ(
        BuildAddonBlock("N", "p.exe", ""),
        "    <Launch.Addon>\r\n        <Name>N</Name>\r\n        <Disabled>False</Disabled>\r\n"
        "        <Path>p.exe</Path>\r\n    </Launch.Addon>\r\n");
    EXPECT_EQ(DefaultExeXmlDocument(),
              kHead +
                  "    <Filename>EXE.xml</Filename>\r\n    <Disabled>False</Disabled>\r\n"
                  "    <Launch.ManualLoad>False</Launch.ManualLoad>\r\n" +
                  kTail);
}

// Each row: a document, what registering makes of it, and what unregistering makes of that (the
// document itself unless the row says otherwise).
TEST(ExeXmlTextTest, EntriesGoInAndOutTouchingNothingElse) {
    const std::string ours = "<Launch.Addon><Name>TarnwickHID</Name></Launch.Addon>";
    const std::string other = "<Launch.Addon><Name>Other</Name></Launch.Addon>";
    const std::string root = "<SimBase.Document>";
    const std::string end = "</SimBase.Document>";
    const std::string lower =
        "  <launch.addon>\r\n    <name>tarnwickhid</name>\r\n  </launch.addon>\r\n";
    const std::string padded = "<Launch.Addon><Name> \r\n TARNWICKhid\t</Name></Launch.Addon>\r\n";
    const std::string longer = "<Launch.Addon><Name>TarnwickHID2</Name></Launch.Addon>\r\n";
    const std::string nameless = "<Launch.Addon><Path>TarnwickHID</Path></Launch.Addon>\r\n";
    const std::string behind =
        "    <Launch.Addon>\r\n    </Launch.Addon>\r\n    <Name>TarnwickHID</Name>\r\n";
    // An opening tag without its closing tag must not start "our" block.
    const std::string damaged = "    <Launch.Addon>\r\n        <Path>broken.exe</Path>\r\n";
    const std::string unclosed = "<Launch.Addon><Name>TarnwickHID</Name>\r\n";
    const std::string blank(DefaultExeXmlDocument());
    const std::string blankAdded = blank.substr(0, blank.size() - kTail.size()) + kBlock + kTail;
    const struct {
        std::string document;
        std::string added;
        std::string removedAgain;
    } cases[] = {
        // A blank document becomes the default one; removal leaves that.
        {"", blankAdded, blank},
        {" \t\r\n\v\f", blankAdded, blank},
        {kHead + kOther + kTail, kHead + kOther + kBlock + kTail, ""},
        // Line-feed documents keep their own line ends; only the block brings CR LF.
        {"<A>\n  <B>x</B>\n  </simbase.document>\n",
         "<A>\n  <B>x</B>\n" + kBlock + "  </simbase.document>\n", ""},
        {end, kBlock + end, ""},
        // Without the closing root tag the block is appended; trailing indentation stays behind it.
        {kHead + kOther, kHead + kOther + kBlock, ""},
        {"<A/>\r\n  ", "<A/>\r\n" + kBlock + "  ", ""},
        // Names compare escaped, trimmed and without case.
        {kHead + lower + kOther + kTail, kHead + kBlock + kOther + kTail, kHead + kOther + kTail},
        {kHead + padded + kTail, kHead + kBlock + kTail, kHead + kTail},
        {kHead + longer + kTail, kHead + longer + kBlock + kTail, ""},
        {kHead + nameless + kTail, kHead + nameless + kBlock + kTail, ""},
        {kHead + behind + kTail, kHead + behind + kBlock + kTail, ""},
        // Neighbours on the same line are kept.
        {root + ours + other + end, root + kBlock + other + end, root + other + end},
        {root + other + "  " + end, root + other + kBlock + "  " + end, ""},
        {root + other + "  " + ours + end + "\r\n", root + other + kBlock + end + "\r\n",
         root + other + end + "\r\n"},
        {"    " + ours + "<!-- keep -->\r\n", kBlock + "<!-- keep -->\r\n", "<!-- keep -->\r\n"},
        {"<A/>\r\n  " + ours + " \t", "<A/>\r\n" + kBlock, "<A/>\r\n"},
        {kHead + damaged + kTail, kHead + damaged + kBlock + kTail, ""},
        {kHead + unclosed + kTail, kHead + unclosed + kBlock + kTail, ""}};
    for (const auto& c : cases) {
        const std::string added = Add(c.document);
        EXPECT_EQ(added, c.added) << c.document;
        EXPECT_EQ(Add(added), added) << c.document;
        EXPECT_EQ(Remove(added), c.removedAgain.empty() ? c.document : c.removedAgain)
            << c.document;
    }
    EXPECT_EQ(Remove(kHead + damaged + kBlock + kTail), kHead + damaged + kTail);
    EXPECT_EQ(Remove(kHead + behind + kTail), kHead + behind + kTail);
    const std::string escaped = AddAddonToDocument(kTail, "Cockpit & Co", "x.exe", "");
    EXPECT_NE(escaped.find("<Name>Cockpit &amp; Co</Name>"), std::string::npos);
    EXPECT_EQ(RemoveAddonFromDocument(escaped, "COCKPIT & co"), kTail);
}

}  // namespace
}  // namespace tarnwick
