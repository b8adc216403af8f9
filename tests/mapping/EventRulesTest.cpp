#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "mapping/EventRules.h"

namespace tarnwick {
namespace {

using HidProtocol::EventType;
using HidProtocol::HidEvent;

HidEvent Event(std::uint8_t type, std::uint16_t controlId, std::int8_t value,
               std::uint8_t speed = 0, std::uint8_t mode = 0) {
    HidEvent event;
    event.type = type;
    event.controlId = controlId;
    event.value = value;
    event.speed = speed;
    event.mode = mode;
    return event;
}

TEST(EventRulesTest, AutopilotTable) {
    const std::pair<std::uint16_t, const char*> known[] = {
        {5, "AP_MASTER"},    {6, "TOGGLE_FLIGHT_DIRECTOR"},
        {7, "AP_HDG_HOLD"},  {8, "AP_ALT_HOLD"},
        {9, "AP_NAV1_HOLD"}, {11, "AP_BC_HOLD"},
        {12, "AP_APR_HOLD"}, {13, "AP_VS_HOLD"},
        {16, "AP_FLC"}};
    for (const auto& [id, name] : known) {
        ASSERT_NE(AutopilotEvent(id), nullptr) << id;
        EXPECT_STREQ(AutopilotEvent(id), name);
    }
    for (std::uint16_t id : {0, 4, 10, 14, 15, 17, 261}) {
        EXPECT_EQ(AutopilotEvent(id), nullptr) << id;
    }
}

TEST(EventRulesTest, KeysOfHoldsAndHoldOffs) {
    EXPECT_EQ(MakeHoldKey("0123456789ABCDEF", 2, 40, "MFD"), "0123456789ABCDEF|2|40|MFD");
    EXPECT_EQ(MakeHoldKey("", -1, 65535, ""), "|-1|65535|");
    EXPECT_NE(MakeHoldKey("A", 1, 4, "PFD"), MakeHoldKey("A", 1, 4, "MFD"));
    EXPECT_EQ(BoardKey("board", 3), "board");
    EXPECT_EQ(BoardKey("", 3), "#3");
}

EventLine BaseLine() {
    EventLine line;
    line.deviceName = "BOARD";
    line.index = 3;
    line.event = Event(2, 21, -3, 0, 0);
    line.action = EventType::EncoderCcw;
    line.role = "PFD";
    return line;
}

TEST(EventLineTest, FullLineOrdersTheTypeNameAfterTheRoles) {
    EventLine line = BaseLine();
    line.configuredRole = "MFD";
    line.typeName = "ENCODER";
    line.controlName = "HDG_KNOB";
    line.mfAmount = 3;
    line.fast = true;
    line.simEventSent = true;
    line.rpnQueued = true;
    EXPECT_EQ(FormatEventLine(line),
              "HID event from BOARD index=3 type=2 action=ENC_CCW role=PFD configuredRole=MFD"
              "(ENCODER) controlId=21(HDG_KNOB) value=-3 speed=0 mode=0 mfAmount=3 fast=1"
              " simEvent=sent rpn=queued");
}

TEST(EventLineTest, OptionalPartsAreLeftOut) {
    EventLine line = BaseLine();
    line.event = Event(2, 21, 0, 7, 2);
    line.action = EventType::None;
    line.role.clear();
    EXPECT_EQ(FormatEventLine(line),
              "HID event from BOARD index=3 type=2 controlId=21 value=0 speed=7 mode=2");

    line = BaseLine();
    line.configuredRole = "PFD";  // the same as the role: not repeated
    line.event.mode = 255;
    EXPECT_EQ(FormatEventLine(line),
              "HID event from BOARD index=3 type=2 action=ENC_CCW role=PFD controlId=21"
              " value=-3 speed=0 mode=255");
}

TEST(EventLineTest, MapLine) {
    EventLine line = BaseLine();
    line.event = Event(1, 40, 3, 0, 1);
    line.action = EventType::Hold;
    line.role = "MFD";
    line.configuredRole = "PFD";  // never shown on this line
    line.typeName = "BUTTON";
    line.controlName = "MAP_UP";
    line.rpnQueued = true;  // nor these
    EXPECT_EQ(FormatMapEventLine(line),
              "HID event from BOARD index=3 type=1 action=HOLD role=MFD(BUTTON) controlId=40"
              "(MAP_UP) value=3 speed=0 mode=1");
    line.role.clear();
    line.typeName.clear();
    line.controlName.clear();
    line.deviceName.clear();
    line.index = -1;
    EXPECT_EQ(FormatMapEventLine(line),
              "HID event from  index=-1 type=1 action=HOLD controlId=40 value=3 speed=0 mode=1");
}

}  // namespace
}  // namespace tarnwick
