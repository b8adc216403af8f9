#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "config/ButtonConfig.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

TEST(ButtonConfigTest, LookUpFollowsNormalizedNamesAndTheDefaultRole) {
    ButtonConfig config;
    ASSERT_TRUE(config.Load(TARNWICK_TEST_DATA_DIR "/config/buttons.json"));
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
        {"HDGKNOB", "CW", "", "(>K:HEADING_BUG_INC)"},
        // No fall-back across actions: the engine retries "_FAST" without the suffix itself.
        {"HDGKNOB", "CCW_FAST", "PFD", ""},
        // A role map without DEFAULT serves only its own roles; an empty text of the exact role
        // is an answer, not a reason to fall back.
        {"NAV_SWAP", "PRESS", "", ""},
        {"NAV_SWAP", "RELEASE", "PFD", ""},
        {"NAV_SWAP", "RELEASE", "MFD", "(>K:NOTHING)"},
        // Keys that normalize alike: the later in byte order wins ("" < "DEFAULT", "PFD" < "pfd").
        {"A", "PRESS", "", "default key"},
        {"A", "PRESS", "PFD", "lower"},
        {"A", "HOLD", "", "lower action"},
        // A NUL ends a command text.
        {"A", "NUL", "", "(>K:AP_MASTER)"},
        {"A", "NUL", "PFD", ""},
        // Knobs are read after buttons and add to or replace their entries.
        {"X", "CW", "", "knob"},
        {"X", "CW", "PFD", "p"},
        {"X", "PRESS", "MFD", "second"},
        // Members of the wrong kind are skipped.
        {"MIXED", "PRESS", "", ""},
        {"MIXED", "CW", "", ""},
        {"MIXED", "CW", "MFD", "ok"}};
    for (const auto& c : cases) {
        EXPECT_EQ(config.Lookup(c.control, c.action, c.role), c.expected)
            << c.control << " / " << c.action << " / " << c.role;
    }
    EXPECT_TRUE(config.HasControl("EMPTY_COMMANDS") && config.HasControl(""));
    EXPECT_FALSE(config.HasControl("NO_COMMANDS") || config.HasControl("ARRAY_COMMANDS"));
    // The longest text is 41 bytes; the next longest 21.
    EXPECT_TRUE(config.OverLongCommands(41).empty());
    EXPECT_EQ(config.OverLongCommands(38),
              (std::vector<std::string>{
                  "Command for HDGKNOB CW_FAST (role DEFAULT) is too long (41 bytes, at most 38); "
                  "it will not be sent"}));
    EXPECT_EQ(config.OverLongCommands(20).size(), 2u);
}

// A file that is no object leaves an earlier configuration in place; one that is replaces it,
// and keeps what it read before a failure.
TEST(ButtonConfigTest, DocumentErrorsHaveTheirMessages) {
    const test::TempDir dir;
    ButtonConfig config;
    const std::string b = R"({"name": "B", "commands": {}})";
    const struct {
        std::string text;
        const char* error;
        const char* kept;
    } cases[] = {{R"({"buttons": [})", "Button config parse error: Unexpected token", "A"},
                 {"[]", "Button config root must be an object", "A"},
                 {R"({"buttons": {}})", "'buttons' must be an array", ""},
                 {R"({"buttons": [], "knobs": "x"})", "'knobs' must be an array", ""},
                 {R"({"buttons": [5]})", "buttons[0] must be an object", ""},
                 {R"({"buttons": [)" + b + R"(, {"name": 7}]})", "buttons[1] missing name", "B"},
                 {R"({"knobs": [{"commands": {}}]})", "knobs[0] missing name", ""},
                 {R"({"knobs": [)" + b + R"(, 1, {"name": "A", "commands": {}}]})",
                  "knobs[1] must be an object", "B"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(
            config.Load(dir.Write("b.json", R"({"buttons": [{"name": "A", "commands": {}}]})")));
        EXPECT_EQ(config.Load(dir.Write("b.json", c.text)).Error(), c.error) << c.text;
        EXPECT_EQ(config.HasControl("A")   ? "A"
                  : config.HasControl("B") ? "B"
                                           : "",
                  std::string(c.kept));
    }
}

}  // namespace
}  // namespace tarnwick
