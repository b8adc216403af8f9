// What the configuration that follows the pilot costs while the bridge runs:
// - a reload of buttons.json as the watch thread does it (read, parse, validate, the warnings),
//   for the example file and for a large one (400 controls, 40 aircraft sets of 20 controls);
// - choosing the aircraft's buttons when the title changes (the base copied, the set laid over);
// - the watch thread's look at one file (size and modification time), done for each watched
//   file once a second.
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

#include <benchmark/benchmark.h>

#include "app/ConfigWatcher.h"
#include "app/LiveReload.h"
#include "config/ButtonConfig.h"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

const fs::path kExample = fs::path(TARNWICK_SOURCE_DIR) / "examples" / "cockpit" / "config";

std::string Control(std::size_t i, const std::string& tag) {
    const std::string name = "CONTROL_" + std::to_string(i);
    return "{\"name\": \"" + name + "\", \"commands\": {\"PRESS\": {\"PFD\": \"(>H:" + name +
           "_PFD_" + tag + ")\", \"MFD\": \"(>H:" + name + "_MFD_" + tag + ")\"}}}";
}

// 400 controls, then 40 sets of 20 controls each, matched on "aircraft N".
fs::path WriteLargeButtons() {
    const fs::path path = fs::temp_directory_path() / "tarnwick-bench-buttons.json";
    std::string text = R"({"buttons": [)";
    for (std::size_t i = 0; i < 400; ++i) {
        text += (i ? ", " : "") + Control(i, "BASE");
    }
    text += R"(], "aircraft": [)";
    for (std::size_t set = 0; set < 40; ++set) {
        text += std::string(set ? ", " : "") + R"({"name": "Set )" + std::to_string(set) +
                R"(", "match": "aircraft )" + std::to_string(set) + R"( ", "buttons": [)";
        for (std::size_t i = 0; i < 20; ++i) {
            text += (i ? ", " : "") + Control(set * 10 + i, "SET");
        }
        text += "]}";
    }
    std::ofstream(path, std::ios::binary) << text << "]}";
    return path;
}

void BM_ReloadButtons(benchmark::State& state) {
    const bool large = state.range(0) != 0;
    auto config = std::make_shared<AppConfig>();
    config->buttonConfigPath =
        large ? WriteLargeButtons().string() : (kExample / "buttons.json").string();
    LiveReload reload((kExample / "config.json").string(), config);
    for (auto _ : state) {
        const LiveReload::Outcome outcome = reload.Reload(WatchedFile::Buttons);
        if (!outcome.records.buttons) {
            state.SkipWithError("the reload failed");
            break;
        }
    }
    state.SetLabel(large ? "400 controls, 40 sets" : "the example");
}
BENCHMARK(BM_ReloadButtons)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_ChooseAircraftButtons(benchmark::State& state) {
    const bool large = state.range(0) != 0;
    ButtonConfig buttons;
    if (!buttons.Load(large ? WriteLargeButtons().string()
                            : (kExample / "buttons.json").string())) {
        state.SkipWithError("the file did not load");
        return;
    }
    // The last set of the large file: every set before it is tried first.
    const std::string title = large ? "Aircraft 39 Deluxe" : "Cessna 208B Grand Caravan EX";
    for (auto _ : state) {
        benchmark::DoNotOptimize(buttons.ForAircraft(title));
    }
    state.SetLabel(large ? "400 controls, 40 sets, the last matches" : "the example's set");
}
BENCHMARK(BM_ChooseAircraftButtons)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_LookAtOneFile(benchmark::State& state) {
    const std::string path = (kExample / "buttons.json").string();
    for (auto _ : state) {
        benchmark::DoNotOptimize(ConfigWatcher::StampOf(path));
    }
}
BENCHMARK(BM_LookAtOneFile);

}  // namespace
}  // namespace tarnwick

BENCHMARK_MAIN();
