// The output queue on its own: the order bytes come out in and what an
// overflow keeps. (Whole items under writers on several threads are checked
// end to end, where GPS sentences and TMC share the port.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver.h"

namespace {

struct Queue {
    OutputQueue queue;
    Queue() { queue.Create(); }
    ~Queue() { queue.Destroy(); }
    void Put(const std::string& item, bool append = true) {
        queue.Append(item.data(), static_cast<DWORD>(item.size()), append);
    }
    std::string Take(DWORD count) {
        std::string out(count, '\0');
        out.resize(queue.Take(out.data(), count));
        return out;
    }
};

// A step: put an item (or reset the queue), then take some bytes.
struct Step {
    std::string put;  // "!" resets; "" puts nothing
    bool append;
    DWORD take;
    std::string expect;
    DWORD pending;  // left after the take
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

const std::string kBig(2000, 'a');

const Case kCases[] = {
    {"ReadsInOrderAcrossSmallReads",
     {{"0123456789abcdefghijklmnopqrstuvwxyzA", true, 10, "0123456789", 27},
      {"", true, 10, "abcdefghij", 17},
      {"", true, 20, "klmnopqrstuvwxyzA", 0},
      {"", true, 20, "", 0}}},
    // Exactly the queued amount: the positions stay and the next item goes behind.
    {"ExactReadThenAppend", {{"hello", true, 5, "hello", 0}, {"abc", true, 0, "", 3}, {"", true, 100, "abc", 0}}},
    {"FitsUpTo2047", {{kBig, true, 0, "", 2000}, {std::string(47, 'b'), true, 0, "", 2047}}},
    {"OverflowAt2048KeepsTheNewItemAlone",
     {{kBig, true, 0, "", 2000}, {std::string(48, 'c'), true, 100, std::string(48, 'c'), 0}}},
    {"OverflowAfterAPartialReadDropsTheUnreadRest",
     {{kBig, true, 10, std::string(10, 'a'), 1990}, {std::string(100, 'd'), true, 200, std::string(100, 'd'), 0}}},
    {"WithoutAppendTheItemReplacesTheQueue", {{"old", true, 0, "", 3}, {"new", false, 10, "new", 0}}},
    {"ResetDropsEverything", {{"gone", true, 1, "g", 3}, {"!", true, 10, "", 0}, {"next", true, 10, "next", 0}}},
    {"AnOversizedItemIsCutToTheBuffer", {{std::string(3000, 'x'), true, 4096, std::string(OUTPUT_SIZE, 'x'), 0}}},
};

class OutputQueueRules : public ::testing::TestWithParam<Case> {};

TEST_P(OutputQueueRules, Steps) {
    Queue q;
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        if (step.put == "!") q.queue.Reset();
        else if (!step.put.empty()) q.Put(step.put, step.append);
        if (step.take) {
            EXPECT_EQ(q.Take(step.take), step.expect);
        }
        EXPECT_EQ(q.queue.Pending(), step.pending);
    }
}

INSTANTIATE_TEST_SUITE_P(Queue, OutputQueueRules, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
