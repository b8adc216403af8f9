// The documents under tests/data/schemas get a verdict from their name, "valid-..." or
// "invalid-...". scripts/check-schemas holds the schemas in schemas/ to it; here the loaders,
// reading the files as start-up and --virtual do, must give the same verdict.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "app/virtual/Scenario.h"
#include "config/AppConfig.h"
#include "config/ButtonConfig.h"
#include "config/HidEventMap.h"
#include "config/PathText.h"

namespace tarnwick {
namespace {

Result Load(const std::string& kind, const std::string& path) {
    AppConfig config;
    Scenario scenario;
    return kind == "config"          ? LoadAppConfig(path, config)
           : kind == "buttons"       ? ButtonConfig().Load(path)
           : kind == "hid_event_map" ? HidEventMap().Load(path)
                                     : LoadScenario(path, scenario);
}

TEST(SchemaAgreement, LoadersGiveTheVerdictsTheSchemasGive) {
    for (const std::string kind : {"config", "buttons", "hid_event_map", "scenario"}) {
        int valid = 0;
        int invalid = 0;
        const auto folder = ToFsPath(TARNWICK_TEST_DATA_DIR "/schemas/" + kind);
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = FromFsPath(entry.path().filename());
            const bool expected = name.starts_with("valid-");
            const Result loaded = Load(kind, FromFsPath(entry.path()));
            EXPECT_EQ(loaded.Ok(), expected) << kind << '/' << name << ": " << loaded.Error();
            ++(expected ? valid : invalid);
        }
        EXPECT_TRUE(valid > 0 && invalid > 0) << kind;
    }
}

}  // namespace
}  // namespace tarnwick
