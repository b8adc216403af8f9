#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ButtonConfig.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

const std::string kButtons = TARNWICK_TEST_DATA_DIR "/config/buttons.json";

TEST(ButtonConfigTest, LookUpFollowsNormalizedNamesAndTheDefaultRole) {
    ButtonConfig config;
    const Result loaded = config.Load(kButtons);
    ASSERT_TRUE(loaded) << loaded.Error();
    const struct {
        const char* control;
        const char* action;
        const char* role;
        const char* expected;
    } cases[] = {
        // "Hdg Knob" in buttons and HDGKNOB in knobs are one control.
        {"HDG_KNOB", "CW", "PFD", ""},
        {"hdg knob", "cw", "pfd", "(>K:PFD_HDG_INC)"},
        {"HDGKNOB", "CW", "MFD", "(>K:MFD_HDG_INC)"},
        {"HDGKNOB", "CW", "g1000", "(>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "CW", "", "(>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "CW_FAST", "PFD", "(>K:HEADING_BUG_INC) (>K:HEADING_BUG_INC)"},
        {"HDGKNOB", "PRESS", "MFD", "(>K:HEADING_BUG_SYNC)"},
        // No fall-back across actions: the engine retries "_FAST" without the suffix itself.
        {"HDGKNOB", "CCW_FAST", "PFD", ""},
        // A role map without DEFAULT serves only its own roles.
        {"NAV_SWAP", "PRESS", "PFD", "(>K:NAV1_RADIO_SWAP)"},
        {"NAV_SWAP", "PRESS", "", ""},
        // An empty text of the exact role is an answer, not a reason to fall back.
        {"NAV_SWAP", "RELEASE", "PFD", ""},
        {"NAV_SWAP", "RELEASE", "MFD", "(>K:NOTHING)"},
        {"", "PRESS", "PFD", ""},
        {"NAV_SWAP", "", "PFD", ""},
        // Keys that normalize alike: the later in byte order wins ("" < "DEFAULT", "PFD" < "pfd").
        {"A", "PRESS", "", "default key"},
        {"A", "PRESS", "PFD", "lower"},
        {"A", "HOLD", "", "lower action"},
        {"A", "HOLD", "MFD", "m"},
        // A NUL ends a command text.
        {"A", "NUL", "", "(>K:AP_MASTER)"},
        {"A", "NUL", "PFD", ""},
        // Knobs are read after buttons and add to or replace their entries.
        {"X", "CW", "", "knob"},
        {"X", "CW", "PFD", "p"},
        {"X", "PRESS", "MFD", "second"},
        {"X", "PRESS", "PFD", "press"},
        // Members of the wrong kind are skipped.
        {"MIXED", "PRESS", "", ""},
        {"MIXED", "CW", "PFD", ""},
        {"MIXED", "CW", "", ""},
        {"MIXED", "CW", "MFD", "ok"}};
    for (const auto& c : cases) {
        EXPECT_EQ(config.Lookup(c.control, c.action, c.role), c.expected)
            << c.control << " / " << c.action << " / " << c.role;
    }
    for (const char* name : {"hdg knob", "NAV_SWAP", "EMPTY_COMMANDS", ""}) {
        EXPECT_TRUE(config.HasControl(name)) << name;
    }
    for (const char* name : {"NAV SWAP2", "NO_COMMANDS", "NULL_COMMANDS", "ARRAY_COMMANDS"}) {
        EXPECT_FALSE(config.HasControl(name)) << name;
    }
    // The longest text is 41 bytes; the next longest 21.
    EXPECT_TRUE(config.OverLongCommands(41).empty());
    EXPECT_EQ(config.OverLongCommands(38),
              (std::vector<std::string>{
                  "Command for HDGKNOB CW_FAST (role DEFAULT) is too long (41 bytes, at most 38); "
                  "it will not be sent"}));
    EXPECT_EQ(config.OverLongCommands(20).size(), 2u);
}

TEST(ButtonConfigTest, DocumentErrorsHaveTheirMessages) {
    const test::TempDir dir;
    const struct {
        const char* text;
        const char* error;
    } cases[] = {{R"({"buttons": [})", "Button config parse error: Unexpected token"},
                 {"[]", "Button config root must be an object"},
                 {"null", "Button config root must be an object"},
                 {R"({"buttons": {}})", "'buttons' must be an array"},
                 {R"({"buttons": [], "knobs": "x"})", "'knobs' must be an array"},
                 {R"({"buttons": [5]})", "buttons[0] must be an object"},
                 {R"({"buttons": [{"name": "A"}, {"name": 7}]})", "buttons[1] missing name"},
                 {R"({"knobs": [{"commands": {}}]})", "knobs[0] missing name"},
                 {R"({"buttons": [{"name": "A"}], "knobs": [{"name": "B"}, 1]})",
                  "knobs[1] must be an object"}};
    for (const auto& c : cases) {
        ButtonConfig config;
        EXPECT_EQ(config.Load(dir.Write("buttons.json", c.text)).Error(), c.error) << c.text;
    }
}

// A file that cannot be used at all leaves an earlier configuration in place; one that is an
// object replaces it, and keeps what it read before a failure.
TEST(ButtonConfigTest, WhatAFailedLoadLeavesBehind) {
    const test::TempDir dir;
    ButtonConfig config;
    ASSERT_TRUE(config.Load(kButtons));
    for (const char* text : {"{", "[]"}) {
        EXPECT_FALSE(config.Load(dir.Write("b.json", text)));
        EXPECT_TRUE(config.HasControl("HDGKNOB")) << text;
    }
    EXPECT_FALSE(config.Load(dir.Write("b.json", R"({
        "buttons": [{"name": "A", "commands": {"PRESS": {"DEFAULT": "a"}}}],
        "knobs": [{"name": "B", "commands": {}}, 2, {"name": "C", "commands": {}}]})")));
    EXPECT_FALSE(config.HasControl("HDGKNOB"));
    EXPECT_EQ(config.Lookup("A", "PRESS", ""), "a");
    EXPECT_TRUE(config.HasControl("B"));
    EXPECT_FALSE(config.HasControl("C"));
}

}  // namespace
}  // namespace tarnwick
