// The command queue's bookkeeping, one sequence of operations per row. Operations:
//   P:a D:a C:a   request text a in Plain, Dedupe or Counted mode (C5:a: five clicks) -> q m d
//   take          the front entry into the worker's hand -> its text, or - when none waits
//   back finish   the held entry put back or finished -> again (queued again) or gone
//   clicks        the held entry's clicks still to write -> their number
//   withdrawn     the held entry must not be written -> yes or no
//   X:a XD:a      cancel text a (in every mode, or only Dedupe; XC, XP alike)
//   clear         a connection change
//   len len:a     the number of waiting entries, all or those of text a
//   drain         the worker's passes until nothing waits -> each write, a*3 for three clicks
#include <optional>
#include <sstream>
#include <string>
#include <utility>

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
    // Each row: a script, then what it says.
    const std::pair<const char*, const char*> rows[] = {
        // plain requests each queue, in order; a put-back goes behind what waits
        {"P:a P:b P:a len drain take P:a P:b take back drain", "q q q 3 a b a - q q a again b a"},
        // no clicks queue nothing
        {"P0:a D0:a C-3:a len", "d d d 0"},
        // dedupe keeps one waiting entry; the held one goes back only if none waits
        {"D:a D:a P:b take D:a D:a back len:a drain D:a take back D:a len",
         "q d q a q d gone 1 b a q a again d 1"},
        // counted clicks add up in one entry, saturating
        {"C:a C:a C5:a len drain C2147483647:a C5:a take clicks", "q m m 1 a*7 q m a 2147483647"},
        // clicks during a write join the held entry; after its last look they queue again
        {"C:a take clicks C:a C4:a len clicks clicks finish len "
         "C:a take clicks clicks C2:a finish drain",
         "q a 1 m m 0 5 0 gone 0 q a 1 0 m again a*2"},
        // cancel withdraws every mode of the text, which queues again later
        {"D:a C3:a P:a P:b X:a len drain C2:a drain", "q q q q 1 b q a*2"},
        // cancel of one mode keeps the others
        {"P:a D:a C2:a XD:a drain P:a C2:a XC:a drain", "q q q a a*2 q q a"},
        // cancel reaches the held entry, unless it names another mode
        {"P:a take X:a withdrawn back len D:a take X:a withdrawn back D:a "
         "take XP:a withdrawn back len",
         "q a yes gone 0 q a yes gone q a no again 1"},
        // cancel stops a counted write; a held counted entry comes back only with new clicks
        {"C:a take clicks C5:a X:a clicks finish C2:a drain "
         "C:a take X:a back len C:a take X:a C2:a back drain",
         "q a 1 m 0 gone q a*2 q a gone 0 q a m again a*2"},
        // a new generation drops what waits and what is held, and leaves the new tables alone
        {"C:c take clear C:c clicks finish drain "
         "P:a D:b C4:c take clear len withdrawn back D:b len",
         "q c q 0 gone c*1 q q q a 0 yes gone q 1"},
    };
    for (const auto& [script, expected] : rows) {
        EXPECT_EQ(Played(script), expected) << script;
    }
}

}  // namespace
}  // namespace tarnwick
