#include <string>

#include <gtest/gtest.h>

#include "addon/ExeXmlText.h"

namespace tarnwick {
namespace {

const std::string kName = "TarnwickHID";
const std::string kExe = "C:\\Tools\\TarnwickHID.exe";
const std::string kArgs = "--config \"C:\\cfg\\config.json\"";

std::string Block() {
    return BuildAddonBlock(kName, kExe, kArgs);
}

std::string Add(const std::string& document) {
    return AddAddonToDocument(document, kName, kExe, kArgs);
}

std::string Remove(const std::string& document) {
    return RemoveAddonFromDocument(document, kName);
}

int Count(const std::string& text, const std::string& needle) {
    int count = 0;
    for (auto pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
        ++count;
    }
    return count;
}

// An ordinary document as the simulator ships it, one element per line, CR LF line ends.
const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n"
    "<SimBase.Document Type=\"SimConnect\" version=\"1,0\">\r\n"
    "    <Descr>SimConnect</Descr>\r\n";
const std::string kOther =
    "    <Launch.Addon>\r\n"
    "        <Name>Other Tool</Name>\r\n"
    "        <Path>C:\\Other\\other.exe</Path>\r\n"
    "    </Launch.Addon>\r\n";
const std::string kTail = "</SimBase.Document>\r\n";

TEST(ExeXmlBlockTest, WritesCrLfLinesAndEscapesEveryField) {
    EXPECT_EQ(BuildAddonBlock("A&B", "C:\\<x>\\a.exe", "--config \"a&b.json\""),
              "    <Launch.Addon>\r\n"
              "        <Name>A&amp;B</Name>\r\n"
              "        <Disabled>False</Disabled>\r\n"
              "        <Path>C:\\&lt;x&gt;\\a.exe</Path>\r\n"
              "        <CommandLine>--config \"a&amp;b.json\"</CommandLine>\r\n"
              "    </Launch.Addon>\r\n");
    EXPECT_EQ(BuildAddonBlock("N", "p.exe", ""),
              "    <Launch.Addon>\r\n"
              "        <Name>N</Name>\r\n"
              "        <Disabled>False</Disabled>\r\n"
              "        <Path>p.exe</Path>\r\n"
              "    </Launch.Addon>\r\n");
}

TEST(ExeXmlDocumentTest, BlankDocumentBecomesDefaultDocumentWithEntry) {
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"Windows-1252\"?>\r\n"
        "<SimBase.Document Type=\"SimConnect\" version=\"1,0\">\r\n"
        "    <Descr>SimConnect</Descr>\r\n"
        "    <Filename>EXE.xml</Filename>\r\n"
        "    <Disabled>False</Disabled>\r\n"
        "    <Launch.ManualLoad>False</Launch.ManualLoad>\r\n" +
        Block() + "</SimBase.Document>\r\n";
    for (const std::string blank : {"", " ", "\r\n", " \t\r\n\v\f"}) {
        EXPECT_EQ(Add(blank), expected);
    }
    // Removal cannot bring the blank text back; what stays is the default document.
    EXPECT_EQ(Remove(Add("\r\n")), DefaultExeXmlDocument());
    EXPECT_EQ(Remove(""), "");
}

TEST(ExeXmlDocumentTest, InsertsOnOwnLineBeforeClosingTagAndRemovesExactly) {
    const std::string crlf = kHead + kOther + kTail;
    EXPECT_EQ(Add(crlf), kHead + kOther + Block() + kTail);
    EXPECT_EQ(Remove(Add(crlf)), crlf);

    // Line-feed documents keep their own line ends; only the block brings CR LF.
    const std::string lf = "<SimBase.Document>\n  <Descr>x</Descr>\n  </simbase.document>\n";
    EXPECT_EQ(Add(lf),
              "<SimBase.Document>\n  <Descr>x</Descr>\n" + Block() + "  </simbase.document>\n");
    EXPECT_EQ(Remove(Add(lf)), lf);

    // Without a line feed before the closing tag the block goes right at the tag.
    EXPECT_EQ(Add("</SimBase.Document>"), Block() + "</SimBase.Document>");
}

TEST(ExeXmlDocumentTest, AppendsWhenClosingRootTagIsMissing) {
    const std::string doc = kHead + kOther;
    EXPECT_EQ(Add(doc), doc + Block());
    EXPECT_EQ(Remove(Add(doc)), doc);
    // Trailing indentation stays behind the block, so removal gives it back.
    EXPECT_EQ(Add("<A/>\r\n  "), "<A/>\r\n" + Block() + "  ");
    EXPECT_EQ(Remove(Add("<A/>\r\n  ")), "<A/>\r\n  ");
}

TEST(ExeXmlDocumentTest, ReplacesEntryWrittenInLowerCase) {
    const std::string old =
        "  <launch.addon>\r\n"
        "    <name>tarnwickhid</name>\r\n"
        "    <path>old.exe</path>\r\n"
        "  </launch.addon>\r\n";
    EXPECT_EQ(Add(kHead + old + kOther + kTail), kHead + Block() + kOther + kTail);
    EXPECT_EQ(Remove(kHead + old + kOther + kTail), kHead + kOther + kTail);
}

TEST(ExeXmlDocumentTest, RegisteringTwiceKeepsOneEntryWithNewValues) {
    const std::string once = AddAddonToDocument(kHead + kOther + kTail, kName, "old.exe", "");
    const std::string twice = Add(once);
    EXPECT_EQ(twice, kHead + kOther + Block() + kTail);
    EXPECT_EQ(Count(twice, "<Name>TarnwickHID</Name>"), 1);
}

TEST(ExeXmlDocumentTest, NameIsComparedEscapedTrimmedAndWithoutCase) {
    const std::string doc = kHead + kOther + kTail;
    const std::string added = AddAddonToDocument(doc, "Cockpit & Co", "x.exe", "");
    EXPECT_NE(added.find("<Name>Cockpit &amp; Co</Name>"), std::string::npos);
    EXPECT_EQ(RemoveAddonFromDocument(added, "COCKPIT & co"), doc);

    const std::string padded = "<Launch.Addon><Name> \r\n TARNWICKhid\t</Name></Launch.Addon>\r\n";
    EXPECT_EQ(Remove(kHead + padded + kTail), kHead + kTail);

    // Same letters but another length, or no name at all, is someone else's entry.
    for (const std::string other : {"<Launch.Addon><Name>TarnwickHID2</Name></Launch.Addon>\r\n",
                                    "<Launch.Addon><Path>TarnwickHID</Path></Launch.Addon>\r\n"}) {
        EXPECT_EQ(Remove(kHead + other + kTail), kHead + other + kTail);
        EXPECT_EQ(Count(Add(kHead + other + kTail), "<Launch.Addon>"), 2);
    }
}

TEST(ExeXmlDocumentTest, NameBehindItsOwnBlockDoesNotMatch) {
    const std::string doc = kHead +
                            "    <Launch.Addon>\r\n        <Path>a.exe</Path>\r\n"
                            "    </Launch.Addon>\r\n    <Name>TarnwickHID</Name>\r\n" +
                            kOther + kTail;
    EXPECT_FALSE(FindAddonEntry(doc, kName).has_value());
    EXPECT_EQ(Remove(doc), doc);
    EXPECT_EQ(Add(doc), kHead +
                            "    <Launch.Addon>\r\n        <Path>a.exe</Path>\r\n"
                            "    </Launch.Addon>\r\n    <Name>TarnwickHID</Name>\r\n" +
                            kOther + Block() + kTail);
}

TEST(ExeXmlDocumentTest, NeighboursSharingTheLineAreKept) {
    const std::string ours = "<Launch.Addon><Name>TarnwickHID</Name></Launch.Addon>";
    const std::string other = "<Launch.Addon><Name>Other</Name></Launch.Addon>";
    const std::string root = "<SimBase.Document>";
    const std::string end = "</SimBase.Document>";

    EXPECT_EQ(Remove(root + ours + other + end), root + other + end);
    EXPECT_EQ(Remove(root + other + "  " + ours + end + "\r\n"), root + other + end + "\r\n");
    EXPECT_EQ(Remove("    " + ours + "<!-- keep -->\r\n"), "<!-- keep -->\r\n");
    EXPECT_EQ(Remove("<A/>\r\n  " + ours + " \t"), "<A/>\r\n");
    EXPECT_EQ(Add(root + ours + other + end), root + Block() + other + end);

    // Inserted behind the last element, not at the start of the shared line.
    const std::string oneLine = root + other + "  " + end;
    EXPECT_EQ(Add(oneLine), root + other + Block() + "  " + end);
    EXPECT_EQ(Remove(Add(oneLine)), oneLine);
}

TEST(ExeXmlDocumentTest, DamagedEntryBeforeOursIsNotTakenAlong) {
    // The opening tag without its closing tag would otherwise start "our" block, and its
    // lines would be erased together with our entry.
    const std::string damaged = "    <Launch.Addon>\r\n        <Path>broken.exe</Path>\r\n";
    EXPECT_EQ(Remove(kHead + damaged + Block() + kTail), kHead + damaged + kTail);
    EXPECT_EQ(Add(kHead + damaged + kTail), kHead + damaged + Block() + kTail);
    EXPECT_EQ(Remove(Add(kHead + damaged + kTail)), kHead + damaged + kTail);

    // A damaged entry that carries our name but never closes is not an entry.
    const std::string named = "<Launch.Addon><Name>TarnwickHID</Name>\r\n";
    EXPECT_EQ(Remove(Add(kHead + named + kTail)), kHead + named + kTail);
}

}  // namespace
}  // namespace tarnwick
