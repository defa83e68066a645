#include <gtest/gtest.h>

#include "serial/apd_com_port.h"
#include "serial/trigger_set.h"

namespace lan2com {
namespace {

TEST(TriggerSetTest, HandlesAreMultiplesOfEightAndRestartOnReset) {
    TriggerSet set;
    set.reset();
    EXPECT_EQ(set.add(), 8);
    EXPECT_EQ(set.add(), 16);
    EXPECT_EQ(set.add(), 24);
    set.reset();
    EXPECT_TRUE(set.triggers().empty());
    EXPECT_EQ(set.threshold(), 0);
    EXPECT_EQ(set.add(), 8);
    const TimerTrigger& t = set.triggers().front();
    EXPECT_FALSE(t.armed);
    EXPECT_EQ(t.length, 0);
}

TEST(TriggerSetTest, CounterLimitReusesFreeHandlesThenRunsOut) {
    TriggerSet set;
    set.reset();
    for (int i = 1; i < TriggerSet::kCounterLimit; ++i) {
        ASSERT_EQ(set.add(), i * 8);
    }
    // Every multiple of 8 up to 4096 is taken by now.
    try {
        set.add();
        FAIL() << "expected ENoMoreTriggers";
    } catch (const ENoMoreTriggers& e) {
        EXPECT_STREQ(e.what(), "No more trigger slots");
    }
    // A list with holes: the smallest free multiple of 8 is used, the counter stays at its limit.
    TriggerSet::Saved holes;
    holes.triggers.resize(2);
    holes.triggers[0].handle = 8;
    holes.triggers[1].handle = 24;
    set.restore(holes);
    EXPECT_EQ(set.add(), 16);
    EXPECT_EQ(set.add(), 32);
    EXPECT_EQ(set.triggers().size(), 4u);
}

TEST(TriggerSetTest, UnknownHandleIsRefused) {
    TriggerSet set;
    set.reset();
    set.add();
    try {
        set.set(16, 5, true, 0);
        FAIL() << "expected EBadTriggerHandle";
    } catch (const EBadTriggerHandle& e) {
        EXPECT_STREQ(e.what(), "Bad trigger handle");
    }
    EXPECT_THROW(set.set(9, 5, false, 0), EBadTriggerHandle);
}

TEST(TriggerSetTest, FiveTickTriggerExpiresStrictlyAfterItsDeadline) {
    TriggerSet set;
    set.reset();
    const auto h = set.add();
    EXPECT_FALSE(set.ticksToNextExpiry(100).has_value());  // nothing armed
    set.set(h, 5, true, 100);
    EXPECT_EQ(set.triggers()[0].deadline, 105u);
    EXPECT_FALSE(set.firstExpired(104));
    EXPECT_FALSE(set.firstExpired(105));
    ASSERT_TRUE(set.firstExpired(106));
    EXPECT_EQ(set.firstExpired(106)->handle, h);
    EXPECT_EQ(set.ticksToNextExpiry(100), 6u);
    EXPECT_EQ(set.ticksToNextExpiry(105), 1u);
    EXPECT_EQ(set.ticksToNextExpiry(106), 0u);
    EXPECT_EQ(set.ticksToNextExpiry(5000), 0u);
}

TEST(TriggerSetTest, ArmingRulesForLengthRestartAndDisarm) {
    TriggerSet set;
    set.reset();
    const auto h = set.add();
    set.set(h, 5, true, 10);
    set.set(h, 0, true, 20);  // ticks 0 keeps the length; re-arming restarts the countdown
    EXPECT_EQ(set.triggers()[0].length, 5);
    EXPECT_EQ(set.triggers()[0].start, 20u);
    EXPECT_FALSE(set.firstExpired(25));
    EXPECT_TRUE(set.firstExpired(26));

    set.set(h, 9, false, 30);  // disarm ignores ticks
    EXPECT_FALSE(set.triggers()[0].armed);
    EXPECT_EQ(set.triggers()[0].length, 5);
    EXPECT_FALSE(set.firstExpired(1000));
    set.set(h, 9, false, 30);  // disarming again changes nothing
    EXPECT_FALSE(set.triggers()[0].armed);

    // A length above the cap counts as the cap; a negative one as 0.
    set.set(h, 50000000, true, 1000);
    EXPECT_EQ(set.triggers()[0].length, 50000000);
    EXPECT_EQ(set.triggers()[0].deadline, 1000u + TriggerSet::kMaxTicks);
    set.set(h, -7, true, 1000);
    EXPECT_FALSE(set.firstExpired(1000));
    EXPECT_TRUE(set.firstExpired(1001));
}

TEST(TriggerSetTest, WrapOfTheClockIsCountedAcross) {
    TriggerSet set;
    set.reset();
    const auto h = set.add();
    // Armed two ticks before the millisecond clock wraps (the last tick is 78090314).
    const std::uint32_t start = TriggerSet::kLastTick - 1;
    set.set(h, 5, true, start);
    EXPECT_FALSE(set.firstExpired(TriggerSet::kLastTick));
    EXPECT_EQ(set.ticksToNextExpiry(TriggerSet::kLastTick), 5u);
    EXPECT_FALSE(set.firstExpired(0));
    EXPECT_FALSE(set.firstExpired(3));  // 5 ticks have passed: not yet more than 5
    EXPECT_TRUE(set.firstExpired(4));   // and not half a clock period later
    EXPECT_EQ(set.ticksToNextExpiry(0), 4u);

    // The longest trigger, armed late in the period, expires after its full length.
    set.set(h, TriggerSet::kMaxTicks, true, 70000000);
    const std::uint32_t due = 70000000 + TriggerSet::kMaxTicks + 1 - TriggerSet::kTickPeriod;
    EXPECT_FALSE(set.firstExpired(0));
    EXPECT_FALSE(set.firstExpired(due - 1));
    EXPECT_TRUE(set.firstExpired(due));
    EXPECT_EQ(set.ticksToNextExpiry(due - 10), 10u);
}

TEST(TriggerSetTest, WalkFiresInListOrderAndEachArmingOnce) {
    TriggerSet set;
    set.reset();
    const auto a = set.add();
    const auto b = set.add();
    const auto c = set.add();
    set.set(b, 1, true, 0);
    set.set(c, 2, true, 0);
    set.set(a, 10, true, 0);
    auto first = set.firstExpired(50);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->handle, a);
    set.beginFire(*first);
    auto second = set.firstExpired(50);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->handle, b);
    set.beginFire(*second);
    auto third = set.firstExpired(50);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->handle, c);
    set.beginFire(*third);
    EXPECT_FALSE(set.firstExpired(50));
    EXPECT_FALSE(set.firstExpired(5000));
}

TEST(TriggerSetTest, UndeliveredFiringComesBackUnlessTouched) {
    TriggerSet set;
    set.reset();
    const auto h = set.add();
    set.set(h, 5, true, 0);
    auto firing = set.firstExpired(10);
    ASSERT_TRUE(firing);
    set.beginFire(*firing);
    EXPECT_FALSE(set.firstExpired(10));
    set.undoFire(*firing);  // nobody touched it: still expired
    ASSERT_TRUE(set.firstExpired(10));

    // Disarmed meanwhile (the acknowledgement came): the firing must not return, even though
    // the trigger was already disarmed when the disarm came.
    firing = set.firstExpired(10);
    set.beginFire(*firing);
    set.set(h, 5, false, 11);
    set.undoFire(*firing);
    EXPECT_FALSE(set.firstExpired(100));

    // Re-armed meanwhile: the new arming stands, with its own deadline.
    set.set(h, 5, true, 100);
    firing = set.firstExpired(106);
    set.beginFire(*firing);
    set.set(h, 5, true, 106);
    set.undoFire(*firing);
    EXPECT_FALSE(set.firstExpired(111));
    EXPECT_TRUE(set.firstExpired(112));
}

TEST(TriggerSetTest, SaveAndRestoreKeepEveryTrigger) {
    TriggerSet set;
    set.reset();
    set.setThreshold(1);
    const auto a = set.add();
    set.add();
    set.set(a, 5, true, 40);
    const TriggerSet::Saved saved = set.save();

    set.reset();
    EXPECT_EQ(set.add(), 8);  // a fresh open
    set.restore(saved);
    EXPECT_EQ(set.threshold(), 1);
    ASSERT_EQ(set.triggers().size(), 2u);
    EXPECT_EQ(set.triggers()[0].handle, 8);
    EXPECT_TRUE(set.triggers()[0].armed);
    EXPECT_EQ(set.triggers()[0].start, 40u);
    EXPECT_EQ(set.triggers()[0].deadline, 45u);
    EXPECT_EQ(set.triggers()[0].length, 5);
    EXPECT_FALSE(set.triggers()[1].armed);
    // The handle counter is not part of what is kept.
    EXPECT_EQ(set.add(), 16);
    EXPECT_TRUE(set.firstExpired(46));
}

}  // namespace
}  // namespace lan2com
