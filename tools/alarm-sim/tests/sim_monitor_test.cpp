#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "sim_monitor.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace alarmsim {
namespace {

using namespace lan2com;
using namespace std::chrono_literals;

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return {text.begin(), text.end()};
}

const std::string kEventLine = "5031 181234E13001005\x14";

struct MonitorRig {
    explicit MonitorRig(MonitorOptions o) : peer(home.devices(), 61), monitor(o, out) {}
    test::DataHome home;
    test::PtyPeer peer;  // the relay's end of the pair
    std::ostringstream out;
    Monitor monitor;
};

MonitorOptions on61(Answer answer, int delayMs = 0) {
    MonitorOptions o;
    o.comNumber = 61;
    o.answer = answer;
    o.delayMs = delayMs;
    return o;
}

TEST(AlarmSimMonitor, DecodesAndAcknowledgesLinesOnACom) {
    MonitorRig rig(on61(Answer::Ack));
    rig.monitor.open();
    const std::string heartbeat(kHeartbeatLine.begin(), kHeartbeatLine.end());
    rig.peer.write(bytesOf(kEventLine + heartbeat + "junk\x14"));
    for (int i = 0; i < 30 && rig.monitor.summary().lines < 3; ++i) {
        rig.monitor.runFor(100ms);
    }
    // An event and a heartbeat are acknowledged; the junk is not.
    EXPECT_EQ(rig.peer.read(2, 1000), (std::vector<std::uint8_t>{kAck, kAck}));
    EXPECT_TRUE(rig.peer.readFor(100).empty());
    rig.monitor.finish();

    const std::string text = rig.out.str();
    EXPECT_NE(text.find(" line=1 kind=event channel=3 account=1234 qualifier=E event=130 "
                        "group=01 zone=005 reply=ack\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" line=2 kind=heartbeat reply=ack\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" line=3 kind=unknown length=5 bytes=\"junk\\x14\" reply=none\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("summary lines=3 events=1 heartbeats=1 unknown=1 acks=2 naks=0 "
                        "answers_lost=0"),
              std::string::npos)
        << text;
}

TEST(AlarmSimMonitor, DelayedNegativeAnswer) {
    MonitorRig rig(on61(Answer::Nak, 400));
    rig.monitor.open();
    rig.peer.write(bytesOf(kEventLine));
    const auto start = std::chrono::steady_clock::now();
    while (rig.monitor.summary().lines == 0 && std::chrono::steady_clock::now() - start < 3s) {
        rig.monitor.runFor(20ms);
    }
    ASSERT_EQ(rig.monitor.summary().lines, 1u);
    EXPECT_TRUE(rig.peer.readFor(50).empty());  // not yet
    while (rig.monitor.summary().naks == 0 && std::chrono::steady_clock::now() - start < 3s) {
        rig.monitor.runFor(50ms);
    }
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
    EXPECT_EQ(rig.peer.read(1, 1000), std::vector<std::uint8_t>{kNak});
    EXPECT_NE(rig.out.str().find("reply=nak delay_ms=400"), std::string::npos) << rig.out.str();
}

TEST(AlarmSimMonitor, LineLimitAndAMissingPort) {
    MonitorOptions o = on61(Answer::Silent);
    o.lines = 1;
    MonitorRig rig(o);
    rig.monitor.open();
    rig.peer.write(bytesOf(kEventLine + kEventLine));
    for (int i = 0; i < 30 && !rig.monitor.done(); ++i) {
        rig.monitor.runFor(100ms);
    }
    EXPECT_TRUE(rig.monitor.done());
    EXPECT_TRUE(rig.peer.readFor(100).empty());  // silent

    std::ostringstream out;
    MonitorOptions missing;
    missing.comNumber = 62;
    Monitor nowhere(missing, out);
    EXPECT_THROW(nowhere.open(), NoSuchPortError);
}

TEST(AlarmSimMonitor, AFarEndThatGoesAwayEndsTheRun) {
    test::DataHome home;
    auto peer = std::make_unique<test::PtyPeer>(home.devices(), 61);
    std::ostringstream out;
    Monitor monitor(on61(Answer::Ack), out);
    monitor.open();
    peer->write(bytesOf(kEventLine));
    for (int i = 0; i < 30 && monitor.summary().lines == 0; ++i) {
        monitor.runFor(100ms);
    }
    peer.reset();
    for (int i = 0; i < 30 && !monitor.failed(); ++i) {
        monitor.runFor(100ms);
    }
    EXPECT_EQ(monitor.summary().lines, 1u);
    EXPECT_TRUE(monitor.failed());
    EXPECT_FALSE(monitor.failure().empty());
    monitor.finish();  // closes the failed port and still prints the summary
    EXPECT_NE(out.str().find("summary lines=1 events=1 "), std::string::npos) << out.str();
}

}  // namespace
}  // namespace alarmsim
