#include <gtest/gtest.h>

#include "config/AppConfig.h"
#include "config/ConfigValidation.h"

namespace tarnwick {
namespace {

// The rules a loaded file cannot break (the loader refuses such a file first); the others are
// walked through documents in the loader's table.
TEST(ConfigValidationTest, RulesOnlyABuiltConfigurationCanBreak) {
    AppConfig config;
    config.vid = ReadHexId16("1");
    config.pid = ReadHexId16("2");
    config.buttonConfigPath = "buttons.json";
    EXPECT_EQ(ValidateAppConfig(config).Error(), "hid.devices must not be empty");
    config.devices = {{ReadHexId16("1"), ReadHexId16("2"), PanelRole::Unknown, "pfd"},
                      {ReadHexId16(""), ReadHexId16("2"), PanelRole::G1000, ""}};
    // Each device is checked completely before the next.
    EXPECT_EQ(ValidateAppConfig(config).Error(), "hid.devices[0].role is unknown: pfd");
    config.devices[0].role = PanelRole::TouchPanel;
    EXPECT_EQ(ValidateAppConfig(config).Error(), "hid.devices[1].vid is required");
    config.devices[1] = {ReadHexId16("3"), ReadHexId16(""), PanelRole::G1000, ""};
    EXPECT_EQ(ValidateAppConfig(config).Error(), "hid.devices[1].pid is required");
}

}  // namespace
}  // namespace tarnwick
