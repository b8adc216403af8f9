#include <string>

#include <gtest/gtest.h>

#include "config/HidEventMap.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

// Every name the map gives for a set of probe numbers, as "t<code>=NAME" and "c<id>=NAME".
std::string Names(const HidEventMap& map) {
    std::string names;
    for (const int n : {-2147483647 - 1, -2, -1, 0, 1, 2, 3, 4, 7, 12, 20, 40, 2147483647}) {
        if (const std::string type = map.FindEventType(n); !type.empty()) {
            names += " t" + std::to_string(n) + "=" + type;
        }
        if (const std::string control = map.FindControl(n); !control.empty()) {
            names += " c" + std::to_string(n) + "=" + control;
        }
    }
    return names;
}

// Numbers are truncated toward zero; those beyond the signed 32-bit range are no entries; of two
// names for one number the later key in byte order wins.
TEST(HidEventMapTest, NamesNumbersBothWays) {
    HidEventMap map;
    ASSERT_TRUE(map.Load(TARNWICK_TEST_DATA_DIR "/config/hid_event_map.json"));
    EXPECT_EQ(Names(map),
              " c-2147483648=MIN t-1=B t1=BUTTON t2=PRESS t3=A c7=b c12=NAV_SWAP t20=C "
              "c40=HDG_KNOB c2147483647=MAX");
}

// A document that cannot be used leaves the tables alone; one whose objects lack valid entries
// replaces them with what it did hold.
TEST(HidEventMapTest, DocumentErrorsHaveTheirMessagesAndLeaveThis) {
    const test::TempDir dir;
    const std::string kept = " t1=A c1=B";
    const std::string noTypes = "Event map missing valid event_types entries";
    const std::string noControls = "Event map missing valid control_ids entries";
    const struct {
        const char* text;
        std::string error;
        std::string names;
    } cases[] = {
        {R"({"event_types": {"A": 1},)", "Event map parse error: Unterminated object", kept},
        {"[1, 2]", "Event map root must be an object", kept},
        {R"({"event_types": {"A": "1"}, "control_ids": {"B": 1}})", noTypes, " c1=B"},
        {R"({"control_ids": {"B": 1}})", noTypes, " c1=B"},
        {R"({"event_types": {}, "control_ids": {}})", noTypes, ""},
        {R"({"event_types": {"A": 1}, "control_ids": 5})", noControls, " t1=A"},
        {R"({"event_types": {"A": 1}, "control_ids": {"B": 1e10}})", noControls, " t1=A"}};
    for (const auto& c : cases) {
        HidEventMap map;
        ASSERT_TRUE(
            map.Load(dir.Write("m.json", R"({"event_types":{"A":1},"control_ids":{"B":1}})")));
        EXPECT_EQ(map.Load(dir.Write("m.json", c.text)).Error(), c.error) << c.text;
        EXPECT_EQ(Names(map), c.names) << c.text;
    }
}

}  // namespace
}  // namespace tarnwick
