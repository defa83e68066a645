#include "app/heartbeat_timer.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QThread>

namespace lan2com {
namespace {

constexpr int kPeriodMs = 200;

// Milliseconds from `since` to each timer event.
struct Recorder {
    explicit Recorder(QtHeartbeatTimer& timer) {
        clock.start();
        timer.OnTimer = [this] {
            ticks.push_back(clock.elapsed());
            onMainThread = onMainThread && QThread::currentThread() == qApp->thread();
        };
    }
    QElapsedTimer clock;
    std::vector<qint64> ticks;
    bool onMainThread = true;
};

TEST(QtHeartbeatTimer, StartsDisabledWithTheHeartbeatPeriod) {
    QtHeartbeatTimer timer;
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 29000);
}

TEST(QtHeartbeatTimer, DisabledTimerSendsNoEvent) {
    QtHeartbeatTimer timer(kPeriodMs);
    Recorder recorder(timer);
    QTest::qWait(3 * kPeriodMs);
    EXPECT_TRUE(recorder.ticks.empty());
}

TEST(QtHeartbeatTimer, EnabledTimerFiresPeriodicallyOnTheMainThread) {
    QtHeartbeatTimer timer(kPeriodMs);
    Recorder recorder(timer);
    timer.SetEnabled(true);
    EXPECT_TRUE(timer.Enabled());
    QTest::qWait(5 * kPeriodMs + kPeriodMs / 2);
    // Five periods have passed; a loaded machine may deliver one late.
    EXPECT_GE(recorder.ticks.size(), 4u);
    EXPECT_LE(recorder.ticks.size(), 6u);
    ASSERT_FALSE(recorder.ticks.empty());
    EXPECT_GE(recorder.ticks.front(), kPeriodMs - 5) << "a full period before the first event";
    EXPECT_TRUE(recorder.onMainThread);
    EXPECT_TRUE(timer.Enabled()) << "periodic, not single-shot";
}

TEST(QtHeartbeatTimer, EnablingARunningTimerKeepsItsPeriod) {
    QtHeartbeatTimer timer(kPeriodMs);
    Recorder recorder(timer);
    timer.SetEnabled(true);
    QTest::qWait(kPeriodMs * 6 / 10);
    timer.SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.ticks.empty(); }, 3 * kPeriodMs));
    // Kept: the event comes one period after the first enabling (200 ms), not after the second
    // (320 ms).
    EXPECT_LT(recorder.ticks.front(), kPeriodMs * 14 / 10);
}

TEST(QtHeartbeatTimer, DisablingAndEnablingStartsAFullPeriod) {
    QtHeartbeatTimer timer(kPeriodMs);
    Recorder recorder(timer);
    timer.SetEnabled(true);
    QTest::qWait(kPeriodMs * 6 / 10);
    const qint64 restart = recorder.clock.elapsed();
    timer.SetEnabled(false);
    EXPECT_FALSE(timer.Enabled());
    timer.SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.ticks.empty(); }, 3 * kPeriodMs));
    EXPECT_GE(recorder.ticks.front() - restart, kPeriodMs - 5);
}

TEST(QtHeartbeatTimer, NoEventAfterDisabling) {
    QtHeartbeatTimer timer(kPeriodMs);
    Recorder recorder(timer);
    timer.SetEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder.ticks.empty(); }, 3 * kPeriodMs));
    timer.SetEnabled(false);
    const std::size_t ticks = recorder.ticks.size();
    QTest::qWait(3 * kPeriodMs);
    EXPECT_EQ(recorder.ticks.size(), ticks);
}

TEST(QtHeartbeatTimer, AHandlerThatDisablesItsTimerGetsNoFurtherEvent) {
    QtHeartbeatTimer timer(kPeriodMs / 4);
    int events = 0;
    timer.OnTimer = [&] {
        ++events;
        timer.SetEnabled(false);
    };
    timer.SetEnabled(true);
    QTest::qWait(kPeriodMs * 2);
    EXPECT_EQ(events, 1);
    EXPECT_FALSE(timer.Enabled());
}

TEST(HeartbeatPeriod, TheOverrideIsTakenOnlyInRangeAndAlwaysSaidInTheLog) {
    struct Row {
        const char* value;
        int ms;
        const char* logged;  // a piece of the log line; nullptr: no line
    };
    const Row rows[] = {
        {nullptr, 29000, nullptr},
        {"100", 100, "LAN2COM_HEARTBEAT_MS: 100 мс (обычный период 29000 мс)"},
        {"3600000", 3600000, "LAN2COM_HEARTBEAT_MS: 3600000 мс"},
        {"99", 29000, "LAN2COM_HEARTBEAT_MS=\"99\" не принято"},
        {"3600001", 29000, "не принято"},
        {"1500ms", 29000, "\"1500ms\" не принято"},
        {"", 29000, "не принято"},
    };
    for (const Row& row : rows) {
        const HeartbeatPeriod period = heartbeatPeriodFrom(row.value);
        const std::string name = row.value != nullptr ? row.value : "(not set)";
        EXPECT_EQ(period.ms, row.ms) << name;
        if (row.logged == nullptr) {
            EXPECT_TRUE(period.logText.empty()) << name;
        } else {
            EXPECT_NE(period.logText.find(row.logged), std::string::npos) << period.logText;
        }
    }
}

}  // namespace
}  // namespace lan2com
