#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "config/HidEventMap.h"
#include "config/Json.h"
#include "config/PathText.h"
#include "support/TempDir.h"

namespace tarnwick {
namespace {

constexpr const char* kGoodMap = R"({
    "version": 3,
    "event_types": {"BUTTON": 1, "ENCODER": 2, "note": "not a number"},
    "control_ids": {"NAV_SWAP": 12, "HDG_KNOB": 40, "list": [1, 2]}
})";

class HidEventMapTest : public testing::Test {
protected:
    bool LoadText(const std::string& text) {
        error_.clear();
        return map_.Load(dir_.Write("hid_event_map.json", text), error_);
    }

    test::TempDir dir_;
    HidEventMap map_;
    std::string error_;
};

TEST_F(HidEventMapTest, NamesNumbersBothWays) {
    ASSERT_TRUE(LoadText(kGoodMap)) << error_;
    EXPECT_EQ(error_, "");
    EXPECT_EQ(map_.FindEventType(1), "BUTTON");
    EXPECT_EQ(map_.FindEventType(2), "ENCODER");
    EXPECT_EQ(map_.FindControl(12), "NAV_SWAP");
    EXPECT_EQ(map_.FindControl(40), "HDG_KNOB");
    // The two tables are separate, and unnamed numbers have no name.
    EXPECT_EQ(map_.FindEventType(12), "");
    EXPECT_EQ(map_.FindControl(1), "");
    EXPECT_EQ(map_.FindEventType(0), "");
    EXPECT_EQ(map_.FindControl(-12), "");
}

TEST_F(HidEventMapTest, NumbersAreTruncatedTowardZero) {
    ASSERT_TRUE(LoadText(R"({"event_types": {"A": 3.9, "B": -1.5, "C": 2e1},
                             "control_ids": {"MAX": 2147483647, "MIN": -2147483648,
                                             "ALMOST": 2147483647.9}})"))
        << error_;
    EXPECT_EQ(map_.FindEventType(3), "A");
    EXPECT_EQ(map_.FindEventType(-1), "B");
    EXPECT_EQ(map_.FindEventType(20), "C");
    EXPECT_EQ(map_.FindEventType(4), "");
    EXPECT_EQ(map_.FindEventType(-2), "");
    EXPECT_EQ(map_.FindControl(2147483647), "MAX");  // ALMOST sorts before MAX
    EXPECT_EQ(map_.FindControl(-2147483647 - 1), "MIN");
}

// Such numbers can never match a type or control a board reports, so they are not entries: they
// neither take a name from a valid number nor make an otherwise empty table valid.
TEST_F(HidEventMapTest, NumbersBeyondThe32BitRangeAreNotEntries) {
    ASSERT_TRUE(LoadText(R"({"event_types": {"A": 1, "HUGE": 4294967297, "TINY": -2147483649},
                             "control_ids": {"B": 1, "INF": 1e999}})"))
        << error_;
    EXPECT_EQ(map_.FindEventType(1), "A");
    EXPECT_EQ(map_.FindEventType(2147483647), "");
    EXPECT_EQ(map_.FindEventType(-2147483647 - 1), "");
    EXPECT_EQ(map_.FindControl(1), "B");

    EXPECT_FALSE(LoadText(R"({"event_types": {"A": 1}, "control_ids": {"B": 1e10}})"));
    EXPECT_EQ(error_, "Event map missing valid control_ids entries");
}

TEST_F(HidEventMapTest, LaterKeyWinsForTheSameNumber) {
    ASSERT_TRUE(LoadText(R"({"event_types": {"PRESS": 1, "BUTTON": 1},
                             "control_ids": {"b": 7, "B": 7, "a": 7}})"))
        << error_;
    EXPECT_EQ(map_.FindEventType(1), "PRESS");
    EXPECT_EQ(map_.FindControl(7), "b");  // byte order: "B" < "a" < "b"
}

TEST_F(HidEventMapTest, DocumentErrorsHaveTheirMessages) {
    const struct {
        const char* text;
        const char* error;
    } cases[] = {
        {"[1, 2]", "Event map root must be an object"},
        {"\"text\"", "Event map root must be an object"},
        {R"({"event_types": {"A": "1"}, "control_ids": {"B": 1}})",
         "Event map missing valid event_types entries"},
        {R"({"event_types": [1], "control_ids": {"B": 1}})",
         "Event map missing valid event_types entries"},
        {R"({"control_ids": {"B": 1}})", "Event map missing valid event_types entries"},
        {R"({"event_types": {}, "control_ids": {}})",
         "Event map missing valid event_types entries"},
        {R"({"event_types": {"A": 1}, "control_ids": {}})",
         "Event map missing valid control_ids entries"},
        {R"({"event_types": {"A": 1}, "control_ids": 5})",
         "Event map missing valid control_ids entries"},
        {R"({"event_types": {"A": 1}, "control_ids": {"B": null, "C": true}})",
         "Event map missing valid control_ids entries"},
        {R"({"event_types": {"A": 1}})", "Event map missing valid control_ids entries"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_FALSE(LoadText(c.text));
        EXPECT_EQ(error_, c.error);
    }
}

// Files that cannot be read as a document at all. A folder passes the existence check but
// cannot be opened as a file.
TEST_F(HidEventMapTest, FileErrorsNameThePathOrTheParserMessage) {
    const std::string absent = dir_.File("absent.json");
    EXPECT_FALSE(map_.Load(absent, error_));
    EXPECT_EQ(error_, "Event map not found: " + absent);

    const std::string text = R"({"event_types": {"A": 1},)";
    const JsonParseResult parsed = ParseJson(text);
    ASSERT_FALSE(parsed.ok);
    EXPECT_FALSE(LoadText(text));
    EXPECT_EQ(error_, "Event map parse error: " + parsed.error);

    const std::string folder = dir_.File("folder.json");
    std::filesystem::create_directory(ToFsPath(folder));
    EXPECT_FALSE(map_.Load(folder, error_));
    EXPECT_EQ(error_, "Failed to open event map: " + folder);
}

// A document that cannot be used leaves the tables alone; one whose objects lack valid entries
// replaces them with what it did hold.
TEST_F(HidEventMapTest, WhatAFailedLoadLeavesBehind) {
    ASSERT_TRUE(LoadText(kGoodMap));
    const std::string before[] = {"{", "[]"};
    for (const std::string& text : before) {
        EXPECT_FALSE(LoadText(text));
        EXPECT_EQ(map_.FindEventType(1), "BUTTON") << text;
        EXPECT_EQ(map_.FindControl(12), "NAV_SWAP") << text;
    }
    EXPECT_FALSE(map_.Load(dir_.File("absent.json"), error_));
    EXPECT_EQ(map_.FindControl(12), "NAV_SWAP");

    EXPECT_FALSE(LoadText(R"({"event_types": {"PUSH": 5}, "control_ids": {"X": "12"}})"));
    EXPECT_EQ(error_, "Event map missing valid control_ids entries");
    EXPECT_EQ(map_.FindEventType(5), "PUSH");
    EXPECT_EQ(map_.FindEventType(1), "");
    EXPECT_EQ(map_.FindControl(12), "");
}

}  // namespace
}  // namespace tarnwick
