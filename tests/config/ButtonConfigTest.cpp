#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ButtonConfig.h"
#include "config/Json.h"
#include "config/PathText.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

class ButtonConfigTest : public testing::Test {
protected:
    bool LoadText(const std::string& text) {
        error_.clear();
        return config_.Load(dir_.Write("buttons.json", text), error_);
    }

    test::TempDir dir_;
    ButtonConfig config_;
    std::string error_;
};

constexpr const char* kCockpit = R"json({
    "comment": "other members are ignored",
    "buttons": [
        {"name": "Hdg Knob", "commands": {
            "press": {"": "(>K:HEADING_BUG_SYNC)"},
            "CW": {"DEFAULT": "(>K:HEADING_BUG_INC)", "PFD": "(>K:PFD_HDG_INC)"}}},
        {"name": "NAV_SWAP", "commands": {
            "PRESS": {"pfd": "(>K:NAV1_RADIO_SWAP)"},
            "RELEASE": {"PFD": "", "DEFAULT": "(>K:NOTHING)"}}}
    ],
    "knobs": [
        {"name": "HDGKNOB", "commands": {
            "cw_fast": {"DEFAULT": "(>K:HEADING_BUG_INC) (>K:HEADING_BUG_INC)"},
            "CW": {"M F D": "(>K:MFD_HDG_INC)"}}}
    ]
})json";

TEST_F(ButtonConfigTest, LookUpFollowsNormalizedNamesAndTheDefaultRole) {
    ASSERT_TRUE(LoadText(kCockpit)) << error_;
    const struct {
        const char* control;
        const char* action;
        const char* role;
        const char* expected;
    } cases[] = {
        // "Hdg Knob" in buttons and HDGKNOB in knobs are one control.
        {"HDG_KNOB", "CW", "PFD", ""},
        {"HDGKNOB", "CW", "PFD", "(>K:PFD_HDG_INC)"},
        {"hdg knob", "cw", "pfd", "(>K:PFD_HDG_INC)"},
        {"HDGKNOB", "CW", "MFD", "(>K:MFD_HDG_INC)"},
        {"HDGKNOB", "CW", "g1000", "(>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "CW", "", "(>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "CW_FAST", "PFD", "(>K:HEADING_BUG_INC) (>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "PRESS", "MFD", "(>K:HEADING_BUG_SYNC)"},
        // No fall-back across actions: the engine retries "_FAST" without the suffix itself.
        {"HDGKNOB", "CCW_FAST", "PFD", ""},
        {"HDGKNOB", "CCW", "", ""},
        // A role map without DEFAULT serves only its own roles.
        {"NAV_SWAP", "PRESS", "PFD", "(>K:NAV1_RADIO_SWAP)"},
        {"NAV_SWAP", "PRESS", "MFD", ""},
        {"NAV_SWAP", "PRESS", "", ""},
        // An empty text of the exact role is an answer, not a reason to fall back.
        {"NAV_SWAP", "RELEASE", "PFD", ""},
        {"NAV_SWAP", "RELEASE", "MFD", "(>K:NOTHING)"},
        {"", "PRESS", "PFD", ""},
        {"NAV_SWAP", "", "PFD", ""},
        {"UNKNOWN", "PRESS", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(config_.Lookup(c.control, c.action, c.role), c.expected)
            << c.control << " / " << c.action << " / " << c.role;
    }
    EXPECT_TRUE(config_.HasControl("hdg knob"));
    EXPECT_TRUE(config_.HasControl("NAV_SWAP"));
    EXPECT_FALSE(config_.HasControl("NAV SWAP2"));
}

TEST_F(ButtonConfigTest, OverLongCommandsAreListedOnceEach) {
    ASSERT_TRUE(LoadText(kCockpit)) << error_;
    // The longest text here is 41 bytes.
    EXPECT_TRUE(config_.OverLongCommands(41).empty());
    EXPECT_EQ(config_.OverLongCommands(38),
              (std::vector<std::string>{
                  "Command for HDGKNOB CW_FAST (role DEFAULT) is too long (41 bytes, at most 38); "
                  "it will not be sent"}));
    EXPECT_EQ(config_.OverLongCommands(20).size(), 2u);
}

TEST_F(ButtonConfigTest, EmptyObjectLoadsAndKnowsNothing) {
    ASSERT_TRUE(LoadText("{}")) << error_;
    EXPECT_EQ(config_.Lookup("HDGKNOB", "CW", ""), "");
    EXPECT_FALSE(config_.HasControl("HDGKNOB"));
    EXPECT_FALSE(config_.HasControl(""));
}

// Of an empty key and "DEFAULT" in one role map, the later in key order wins: the empty key
// sorts first. The same holds for keys that differ only in case or white space.
TEST_F(ButtonConfigTest, KeysThatNormalizeAlikeLetTheLaterKeyWin) {
    ASSERT_TRUE(LoadText(R"json({"buttons": [{"name": "A", "commands": {
        "PRESS": {"": "empty key", "DEFAULT": "default key", "pfd": "lower", "PFD": "upper"},
        "hold": {"DEFAULT": "lower action"},
        "HOLD": {"DEFAULT": "upper action", "MFD": "m"}}}]})json"))
        << error_;
    EXPECT_EQ(config_.Lookup("A", "PRESS", ""), "default key");
    EXPECT_EQ(config_.Lookup("A", "PRESS", "PFD"), "lower");  // "PFD" < "pfd"
    // Actions that normalize alike share one role map.
    EXPECT_EQ(config_.Lookup("A", "HOLD", ""), "lower action");
    EXPECT_EQ(config_.Lookup("A", "HOLD", "MFD"), "m");
}

TEST_F(ButtonConfigTest, LaterEntriesAddToAndReplaceEarlierOnes) {
    ASSERT_TRUE(LoadText(R"json({
        "knobs": [{"name": "X", "commands": {"CW": {"DEFAULT": "knob"}}}],
        "buttons": [{"name": "X", "commands": {"CW": {"DEFAULT": "button", "PFD": "p"},
                                               "PRESS": {"DEFAULT": "press"}}},
                    {"name": " x ", "commands": {"PRESS": {"MFD": "second"}}}]})json"))
        << error_;
    EXPECT_EQ(config_.Lookup("X", "CW", ""), "knob");  // buttons are read first
    EXPECT_EQ(config_.Lookup("X", "CW", "PFD"), "p");
    EXPECT_EQ(config_.Lookup("X", "PRESS", "MFD"), "second");
    EXPECT_EQ(config_.Lookup("X", "PRESS", "PFD"), "press");
}

TEST_F(ButtonConfigTest, MembersOfTheWrongKindAreSkippedSilently) {
    ASSERT_TRUE(LoadText(R"json({"buttons": [
        {"name": "NO_COMMANDS"},
        {"name": "NULL_COMMANDS", "commands": null},
        {"name": "ARRAY_COMMANDS", "commands": [{"PRESS": {"DEFAULT": "x"}}]},
        {"name": "EMPTY_COMMANDS", "commands": {}},
        {"name": "MIXED", "commands": {"PRESS": "not an object", "HOLD": ["x"],
                                       "CW": {"DEFAULT": 5, "PFD": {"x": "y"}, "MFD": "ok"}}},
        {"name": "", "commands": {"PRESS": {"DEFAULT": "nameless"}}}
    ]})json"))
        << error_;
    EXPECT_FALSE(config_.HasControl("NO_COMMANDS"));
    EXPECT_FALSE(config_.HasControl("NULL_COMMANDS"));
    EXPECT_FALSE(config_.HasControl("ARRAY_COMMANDS"));
    EXPECT_TRUE(config_.HasControl("EMPTY_COMMANDS"));
    EXPECT_EQ(config_.Lookup("EMPTY_COMMANDS", "PRESS", ""), "");
    EXPECT_EQ(config_.Lookup("MIXED", "PRESS", ""), "");
    EXPECT_EQ(config_.Lookup("MIXED", "CW", "PFD"), "");
    EXPECT_EQ(config_.Lookup("MIXED", "CW", ""), "");
    EXPECT_EQ(config_.Lookup("MIXED", "CW", "MFD"), "ok");
    // An empty name is a control like any other, but Lookup never asks for it.
    EXPECT_TRUE(config_.HasControl(""));
    EXPECT_EQ(config_.Lookup("", "PRESS", ""), "");
}

TEST_F(ButtonConfigTest, CommandTextEndsAtTheFirstNul) {
    ASSERT_TRUE(LoadText(R"json({"buttons": [{"name": "A", "commands": {"PRESS": {
        "DEFAULT": "(>K:AP_MASTER)\u0000 (>K:HIDDEN)", "PFD": "\u0000tail"}}}]})json"))
        << error_;
    EXPECT_EQ(config_.Lookup("A", "PRESS", ""), "(>K:AP_MASTER)");
    EXPECT_EQ(config_.Lookup("A", "PRESS", "PFD"), "");
}

TEST_F(ButtonConfigTest, StructureErrorsHaveTheirMessages) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"[]", "Button config root must be an object"},
        {"null", "Button config root must be an object"},
        {R"json({"buttons": {}})json", "'buttons' must be an array"},
        {R"json({"buttons": [], "knobs": "x"})json", "'knobs' must be an array"},
        {R"json({"buttons": [5]})json", "buttons[0] must be an object"},
        {R"json({"buttons": [{"name": "A"}, {"name": 7}]})json", "buttons[1] missing name"},
        {R"json({"knobs": [{"commands": {}}]})json", "knobs[0] missing name"},
        {R"json({"buttons": [{"name": "A"}], "knobs": [{"name": "B"}, 1]})json",
         "knobs[1] must be an object"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(LoadText(c.text));
        EXPECT_EQ(error_, c.error);
    }
}

// A file that cannot be used at all leaves an earlier configuration in place; one that is an
// object replaces it, and keeps what it read before a failure.
TEST_F(ButtonConfigTest, WhatAFailedLoadLeavesBehind) {
    ASSERT_TRUE(LoadText(kCockpit));
    for (const char* text : {"{", "[]"}) {
        EXPECT_FALSE(LoadText(text));
        EXPECT_TRUE(config_.HasControl("HDGKNOB")) << text;
    }
    EXPECT_FALSE(LoadText(R"json({
        "buttons": [{"name": "A", "commands": {"PRESS": {"DEFAULT": "a"}}}],
        "knobs": [{"name": "B", "commands": {"CW": {"DEFAULT": "b"}}}, 2,
                  {"name": "C", "commands": {"CW": {"DEFAULT": "c"}}}]})json"));
    EXPECT_EQ(error_, "knobs[1] must be an object");
    EXPECT_FALSE(config_.HasControl("HDGKNOB"));
    EXPECT_EQ(config_.Lookup("A", "PRESS", ""), "a");
    EXPECT_EQ(config_.Lookup("B", "CW", ""), "b");
    EXPECT_FALSE(config_.HasControl("C"));
    config_.Clear();
    EXPECT_FALSE(config_.HasControl("A"));
}

// Files that cannot be read as a document at all. A folder passes the existence check but
// cannot be opened as a file.
TEST_F(ButtonConfigTest, FileErrorsNameThePathOrTheParserMessage) {
    const std::string absent = dir_.File("absent.json");
    EXPECT_FALSE(config_.Load(absent, error_));
    EXPECT_EQ(error_, "Button config not found: " + absent);

    const std::string text = R"({"buttons": [})";
    const JsonParseResult parsed = ParseJson(text);
    ASSERT_FALSE(parsed.ok);
    EXPECT_FALSE(LoadText(text));
    EXPECT_EQ(error_, "Button config parse error: " + parsed.error);

    const std::string folder = dir_.File("folder.json");
    std::filesystem::create_directory(ToFsPath(folder));
    EXPECT_FALSE(config_.Load(folder, error_));
    EXPECT_EQ(error_, "Failed to open button config: " + folder);
}

}  // namespace
}  // namespace tarnwick
