// Live reload: what an edited file comes to (the records handed over, the LED refresh, the exact
// lines), and the watch thread on a hand-moved clock.
#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/ConfigWatcher.h"
#include "app/LiveReload.h"
#include "fakes/ManualClock.h"
#include "support/TempDir.h"
#include "support/TestSupport.h"

namespace tarnwick {
namespace {

using namespace std::chrono_literals;

std::string ExampleFile(const std::string& name) {
    return test::FileBytes(std::filesystem::path(TARNWICK_TEST_DATA_DIR) / ".." / ".." /
                           "examples" / "cockpit" / "config" / name);
}

std::string Edited(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

TEST(LiveReloadTest, AValidFileIsHandedOverAndABadOneKeepsThePrevious) {
    const std::string config = ExampleFile("config.json");
    const std::string buttons = ExampleFile("buttons.json");
    const std::string outputsEdit = Edited(config, "\"debounceMs\": 50", "\"debounceMs\": 60");
    const std::string restart = "[INFO] config.json changed outside outputs and devices; "
                                "restart TarnwickHID to apply it";
    struct Case {
        WatchedFile file;
        const char* name;
        std::string text;
        const char* handed;  // the records handed over: c(onfig), b(uttons), e(vent map)
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {WatchedFile::Buttons, "buttons.json", Edited(buttons, "SOFTKEY_1", "SOFTKEY_X"), "b",
         {"[INFO] Reloaded buttons.json"}},
        {WatchedFile::Buttons, "buttons.json", "{ \"buttons\": ",  "",
         {"[ERROR] Reload of buttons.json failed: Button config parse error: Unexpected end of "
          "input; keeping the previous buttons"}},
        {WatchedFile::EventMap, "hid_event_map.json", ExampleFile("hid_event_map.json"), "e",
         {"[INFO] Reloaded hid_event_map.json"}},
        {WatchedFile::EventMap, "hid_event_map.json", "[]", "",
         {"[ERROR] Reload of hid_event_map.json failed: Event map root must be an object; "
          "keeping the previous event map"}},
        {WatchedFile::Config, "config.json", config, "", {}},  // saved unchanged
        {WatchedFile::Config, "config.json", outputsEdit, "c", {"[INFO] Reloaded config.json"}},
        {WatchedFile::Config, "config.json",
         Edited(outputsEdit, "{ \"index\": 1, \"role\": \"MFD\" }", "{ \"role\": \"MFD\" }"), "",
         {"[ERROR] Reload of config.json failed: devices[1] must include boardId or index; "
          "keeping the previous outputs and devices"}},
        {WatchedFile::Config, "config.json",
         Edited(outputsEdit, "\"scanIntervalMs\": 1000", "\"scanIntervalMs\": 900"), "",
         {restart}},
        {WatchedFile::Config, "config.json",
         Edited(Edited(outputsEdit, "\"scanIntervalMs\": 1000", "\"scanIntervalMs\": 800"),
                "\"defaultProfile\": \"day\"", "\"defaultProfile\": \"night\""),
         "c",
         {"[INFO] Reloaded config.json", restart}},
    };
    test::TempDir dir;
    for (const char* name : {"config.json", "buttons.json", "hid_event_map.json"}) {
        dir.Write(name, ExampleFile(name));
    }
    auto started = std::make_shared<AppConfig>();
    ASSERT_TRUE(LoadAppConfig(dir.File("config.json"), *started).Ok());
    started->scanIntervalMs = 12345;  // what the running bridge has stays beside new outputs
    LiveReload reload(dir.File("config.json"), started);
    ASSERT_EQ(reload.Files().size(), 3u);

    test::LogCapture log;
    std::size_t seen = 0;
    for (const Case& c : cases) {
        dir.Write(c.name, c.text);
        const LiveReload::Outcome outcome = reload.Reload(c.file);
        std::string handed;
        handed += outcome.records.config ? "c" : "";
        handed += outcome.records.buttons ? "b" : "";
        handed += outcome.records.eventMap ? "e" : "";
        EXPECT_EQ(handed, c.handed) << c.name << ": " << c.text.substr(0, 40);
        EXPECT_EQ(outcome.refreshOutputs, outcome.records.config != nullptr);
        if (outcome.records.config) {
            EXPECT_EQ(outcome.records.config->outputs.debounceMs, 60);
            EXPECT_EQ(outcome.records.config->scanIntervalMs, 12345);
        }
        std::vector<std::string> lines;
        for (const std::string& line : log.Lines()) {
            lines.push_back(line.substr(line.find('[')));
        }
        const std::vector<std::string> added(lines.begin() + static_cast<std::ptrdiff_t>(seen),
                                             lines.end());
        EXPECT_EQ(added, c.lines) << c.name;
        seen = lines.size();
    }
    // A folder that cannot even be examined (a name too long for the system) keeps the previous
    // records; the watch thread, and with it the bridge, goes on.
    LiveReload unreachable(dir.File(std::string(300, 'x') + "/config.json"), started);
    EXPECT_FALSE(unreachable.Reload(WatchedFile::Config).records.config);
    EXPECT_TRUE(log.Lines().back().ends_with("; keeping the previous outputs and devices"));
}

// Counts the waits of the thread that runs on it.
class CountingClock final : public Clock {
public:
    explicit CountingClock(const Clock& inner) : inner_(inner) {}
    TimePoint Now() const override { return inner_.Now(); }
    void Wait(std::condition_variable& cv, std::unique_lock<std::mutex>& lock) const override {
        ++waits;
        inner_.Wait(cv, lock);
    }
    void WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   TimePoint deadline) const override {
        ++waits;
        inner_.WaitUntil(cv, lock, deadline);
    }
    mutable std::atomic<int> waits{0};

private:
    const Clock& inner_;
};

TEST(LiveReloadTest, TheWatcherNamesAnEditedFileWithinASecondAndOnlyWaitsBetweenLooks) {
    test::TempDir dir;
    const std::vector<std::string> files{dir.Write("a.json", "1"), dir.Write("b.json", "2")};
    test::ManualClock manual;
    CountingClock clock(manual);
    ConfigWatcher watcher(clock, CreateClockChangeSignal(clock));
    std::mutex mutex;
    std::vector<std::size_t> changed;
    manual.SetWorkers(1);
    ASSERT_TRUE(watcher.Start(files, [&](std::size_t file) {
        std::lock_guard<std::mutex> lock(mutex);
        changed.push_back(file);
    }).Ok());
    EXPECT_EQ(watcher.Start(files, {}).Error(), "Config watcher already running");
    const auto seen = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return changed;
    };

    manual.Advance(1s);  // nothing edited yet
    manual.Settle();
    dir.Write("b.json", "22");
    manual.Settle();
    EXPECT_TRUE(seen().empty()) << "looked before the period was over";
    manual.Advance(1s);
    manual.Settle();
    EXPECT_EQ(seen(), std::vector<std::size_t>{1});
    std::filesystem::remove(files[0]);  // a file being replaced is missing for a moment
    manual.Advance(1s);
    manual.Settle();
    manual.Settle();
    EXPECT_EQ(seen(), (std::vector<std::size_t>{1, 0}));
    // One wait per period, however long the thread has run.
    EXPECT_LE(clock.waits.load(), 4);
    watcher.Stop();  // interrupts the wait without time moving
    manual.SetWorkers(0);
}

}  // namespace
}  // namespace tarnwick
