#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/handover.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;

TEST(QueueHandover, RunsCallsOnTheMainThreadInOrderAndUnblocksTheCaller) {
    QueueHandover handover;
    const auto mainId = std::this_thread::get_id();
    std::vector<int> order;
    std::atomic<int> returned{0};
    std::thread endpoint([&] {
        for (int i = 0; i < 3; ++i) {
            const bool ran = handover.invoke(
                this, [&, i] {
                    EXPECT_EQ(std::this_thread::get_id(), mainId);
                    order.push_back(i);
                },
                Handover::kForever);
            EXPECT_TRUE(ran);
            ++returned;
        }
    });
    EXPECT_TRUE(handover.pumpUntil([&] { return returned == 3; }, 5s));
    endpoint.join();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
}

TEST(QueueHandover, ACallNotStartedWithinTheTimeoutIsDroppedAndNeverRuns) {
    QueueHandover handover;
    std::atomic<bool> ran{false};
    std::atomic<bool> answer{true};
    std::thread endpoint([&] { answer = handover.invoke(this, [&] { ran = true; }, 50ms); });
    endpoint.join();  // the main thread never pumped
    EXPECT_FALSE(answer);
    handover.runPending();
    EXPECT_FALSE(ran);
}

TEST(QueueHandover, CancelReleasesTheOwnersCallersAtOnceButNotOthers) {
    QueueHandover handover;
    int a = 0;
    int b = 0;
    std::atomic<int> answers{0};
    std::atomic<bool> answerA{true};
    std::thread ta([&] {
        answerA = handover.invoke(&a, [&] { a = 1; }, Handover::kForever);
        ++answers;
    });
    std::thread tb([&] {
        EXPECT_TRUE(handover.invoke(&b, [&] { b = 1; }, Handover::kForever));
        ++answers;
    });
    // Wait until both calls are queued, then cancel one owner before running anything.
    std::this_thread::sleep_for(50ms);
    handover.cancel(&a);
    EXPECT_TRUE(handover.pumpUntil([&] { return answers == 2; }, 5s));
    ta.join();
    tb.join();
    EXPECT_FALSE(answerA);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
}

TEST(QueueHandover, AtCallEndRunsOnceTheCallHasReturnedBeforeItsInvokerGoesOn) {
    QueueHandover handover;
    std::vector<std::string> steps;
    handover.atCallEnd([&] { steps.push_back("outside a call"); });
    std::vector<std::string> seenByInvoker;
    std::atomic<bool> returned{false};
    std::thread endpoint([&] {
        handover.invoke(
            this,
            [&] {
                handover.atCallEnd([&] { steps.push_back("end 1"); });
                handover.atCallEnd([&] { steps.push_back("end 2"); });
                steps.push_back("call");
                handover.runPending();  // an event loop nested in the call runs them
                steps.push_back("nested loop");
                handover.atCallEnd([&] { steps.push_back("end 3"); });
                throw std::runtime_error("the call fails");
            },
            Handover::kForever);
        seenByInvoker = steps;
        returned = true;
    });
    EXPECT_TRUE(handover.pumpUntil([&] { return returned.load(); }, 5s));
    endpoint.join();
    EXPECT_EQ(seenByInvoker, (std::vector<std::string>{"outside a call", "call", "end 1", "end 2",
                                                       "nested loop", "end 3"}));
}

TEST(QueueHandover, InvokeOnTheMainThreadRunsAtOnce) {
    QueueHandover handover;
    int x = 0;
    EXPECT_TRUE(handover.invoke(this, [&] { x = 7; }, 0ms));
    EXPECT_EQ(x, 7);
}

TEST(QueueHandover, AnEscapingExceptionGoesToTheUncaughtHandlerAndTheCallerIsReleased) {
    QueueHandover handover;
    std::string seen;
    handover.setUncaughtHandler([&](const std::string& m) { seen = m; });
    std::atomic<bool> done{false};
    std::thread endpoint([&] {
        EXPECT_TRUE(handover.invoke(this, [] { throw std::runtime_error("Bad trigger handle"); },
                                    Handover::kForever));
        done = true;
    });
    EXPECT_TRUE(handover.pumpUntil([&] { return done.load(); }, 5s));
    endpoint.join();
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
