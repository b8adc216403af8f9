#include <string>

#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "mapping/EventRules.h"

namespace tarnwick {
namespace {

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

}  // namespace
}  // namespace tarnwick
