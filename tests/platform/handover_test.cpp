#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/handover.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;

TEST(QueueHandover, RunsCallsPostedByOtherThreadsOnTheMainThreadInOrder) {
    QueueHandover handover;
    const auto mainId = std::this_thread::get_id();
    std::vector<int> order;
    std::thread endpoint([&] {
        for (int i = 0; i < 3; ++i) {
            handover.post([&, i] {
                EXPECT_EQ(std::this_thread::get_id(), mainId);
                order.push_back(i);
            });
        }
    });
    endpoint.join();
    EXPECT_TRUE(order.empty());  // nothing runs before the main thread pumps
    EXPECT_TRUE(handover.pumpUntil([&] { return order.size() == 3; }, 5s));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(QueueHandover, AtCallEndRunsOnceTheCallHasReturnedBeforeTheNextCall) {
    QueueHandover handover;
    std::vector<std::string> steps;
    handover.atCallEnd([&] { steps.push_back("outside a call"); });
    std::vector<std::string> seenByNext;
    handover.post([&] {
        handover.atCallEnd([&] { steps.push_back("end 1"); });
        handover.atCallEnd([&] { steps.push_back("end 2"); });
        steps.push_back("call");
        handover.runPending();  // an event loop nested in the call runs them
        steps.push_back("nested loop");
        handover.atCallEnd([&] { steps.push_back("end 3"); });
        handover.post([&] { seenByNext = steps; });  // the next call
        throw std::runtime_error("the call fails");
    });
    EXPECT_TRUE(handover.pumpUntil([&] { return !seenByNext.empty(); }, 5s));
    EXPECT_EQ(seenByNext, (std::vector<std::string>{"outside a call", "call", "end 1", "end 2",
                                                    "nested loop", "end 3"}));
}

TEST(QueueHandover, AnEscapingExceptionGoesToTheUncaughtHandlerAndLaterCallsStillRun) {
    QueueHandover handover;
    std::string seen;
    bool later = false;
    handover.setUncaughtHandler([&](const std::string& m) { seen = m; });
    std::thread endpoint([&] {
        handover.post([] { throw std::runtime_error("Bad trigger handle"); });
        handover.post([&] { later = true; });
    });
    endpoint.join();
    EXPECT_TRUE(handover.pumpUntil([&] { return later; }, 5s));
    EXPECT_EQ(seen, "Bad trigger handle");
}

TEST(QueueHandover, ACallThatPumpsRunsTheCallsBehindItOnceEach) {
    QueueHandover handover;
    int inner = 0;
    handover.post([&] { handover.runPending(); });
    handover.post([&] { ++inner; });
    handover.runPending();
    handover.runPending();
    EXPECT_EQ(inner, 1);
}

}  // namespace
}  // namespace lan2com
