// The command queue's bookkeeping, played from scripts in tests/data/sim/command-queue.txt, which
// also lists the operations.
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "sim/MobiFlightCommandQueue.h"

namespace tarnwick {
namespace {

SendMode ModeOf(char letter) {
    return letter == 'D' ? SendMode::Dedupe : letter == 'C' ? SendMode::Counted : SendMode::Plain;
}

std::string Played(const std::string& script) {
    MobiFlightCommandQueue queue;
    std::optional<MobiFlightCommandQueue::Entry> held;
    std::istringstream in(script);
    std::string out;
    auto say = [&out](const std::string& word) { out += (out.empty() ? "" : " ") + word; };
    for (std::string op; in >> op;) {
        const auto colon = op.find(':');
        const std::string text = colon == std::string::npos ? "" : op.substr(colon + 1);
        if (op == "take") {
            held = queue.Take();
            say(held ? held->text : "-");
        } else if (op == "back" || op == "finish") {
            say((op == "back" ? queue.PutBack(*held) : queue.Finish(*held)) ? "again" : "gone");
        } else if (op == "clicks") {
            say(std::to_string(queue.TakeClicks(*held)));
        } else if (op == "withdrawn") {
            say(queue.HeldWithdrawn(*held) ? "yes" : "no");
        } else if (op == "clear") {
            queue.Clear();
        } else if (op.rfind("len", 0) == 0) {
            say(std::to_string(text.empty() ? queue.Length() : queue.EntriesOf(text)));
        } else if (op == "drain") {
            while (const auto entry = queue.Take()) {
                if (entry->mode == SendMode::Counted) {
                    if (const auto n = queue.TakeClicks(*entry); n > 0) {
                        say(entry->text + "*" + std::to_string(n));
                    }
                } else if (!queue.HeldWithdrawn(*entry)) {
                    say(entry->text);
                }
                queue.Finish(*entry);
            }
        } else if (op[0] == 'X') {
            queue.Cancel(text, colon == 1 ? std::nullopt : std::optional(ModeOf(op[1])));
        } else {
            const int count = colon == 1 ? 1 : std::stoi(op.substr(1, colon - 1));
            const auto result = queue.Push(text, ModeOf(op[0]), count, {});
            say({"qmd"[static_cast<int>(result)]});  // queued, merged, dropped
        }
    }
    return out;
}

TEST(MobiFlightCommandQueueTest, Sequences) {
    std::ifstream in(TARNWICK_TEST_DATA_DIR "/sim/command-queue.txt");
    std::string script;
    int played = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("= ", 0) == 0) {
            EXPECT_EQ(Played(script), line.substr(2)) << script;
            ++played;
        } else if (!line.empty() && line[0] != '#') {
            script = line;
        }
    }
    EXPECT_EQ(played, 10);
}

}  // namespace
}  // namespace tarnwick
