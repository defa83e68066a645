// The built program against monitoring software that misbehaves on the serial line: noise,
// surplus and refused acknowledgements, heartbeats never confirmed, a pair that goes and comes
// back. Every acknowledgement must answer the line it belongs to, and no channel may go deaf.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "e2e/station_process.h"

namespace lan2com::e2e {
namespace {

using lan2com::test::UdpPeer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr int kLineMs = 3000;
constexpr int kReplyMs = 2000;
// Past the acknowledgement timeout (276 to 330 ms), with room for a busy machine.
constexpr int kPastTimeoutMs = 600;
constexpr int kEvents = 25;

// The event of a number 0 … 9999 as its account, and its line on channel 1 … 9 (no conversion).
Bytes eventOf(int account) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04d", account);
    return eventDatagram(std::string(digits) + "78113AA1AA5C");
}
Bytes lineOf(int channel, int account) {
    char digits[5];
    std::snprintf(digits, sizeof digits, "%04d", account);
    return bytesOf("50" + std::to_string(channel) + "1 18" + digits + "E13AA1AA5\x14");
}

// Fifty bytes of line noise with a few stray acknowledgements among them.
Bytes noiseBurst() {
    Bytes noise;
    for (int i = 0; i < 50; ++i) {
        noise.push_back(i % 9 == 4 ? kAck : static_cast<std::uint8_t>(0x30 + i % 40));
    }
    return noise;
}

// The next line on the software's end: nothing when none begins within the time.
Bytes nextLine(MonitorEnd& software, int waitMs) {
    Bytes line = software.read(1, waitMs);
    if (!line.empty()) {
        const Bytes rest = software.read(20, kLineMs);
        line.insert(line.end(), rest.begin(), rest.end());
    }
    return line;
}

class StationAck : public ::testing::Test {
  protected:
    // After a noise burst on the line, sends kEvents events to channel 1, answers each line with
    // the bytes answerOf(n) gives and counts the replies "OK" that come within replyMs.
    template <typename Answer>
    int answeredAfterNoise(Answer answerOf, int replyMs) {
        UdpPeer transceiver("127.0.0.2");
        MonitorEnd& software = station.monitor(0);
        software.write(noiseBurst());
        std::this_thread::sleep_for(milliseconds(300));
        int answered = 0;
        for (int n = 1; n <= kEvents; ++n) {
            transceiver.sendTo(station.port(0), eventOf(n));
            EXPECT_EQ(software.read(21, kLineMs), lineOf(1, n)) << "event " << n;
            software.write(answerOf(n));
            Bytes reply;
            std::uint16_t from = 0;
            if (receiveReply(transceiver, reply, from, replyMs) && reply == bytesOf("OK")) {
                ++answered;
            }
        }
        EXPECT_TRUE(silentFor(transceiver, 300));  // nothing late, nothing doubled
        return answered;
    }

    StationProcess station;
};

TEST_F(StationAck, AfterANoiseBurstEveryAcknowledgedEventIsAnsweredOnce) {
    station.addChannel({"127.0.0.2", 2});
    ASSERT_TRUE(station.start());
    // Every fifth answer comes with surplus acknowledgements behind it.
    const int answered = answeredAfterNoise(
        [](int n) {
            return n % 5 == 0 ? Bytes{kAck, kAck, kAck} : Bytes{kAck};
        },
        kReplyMs);
    EXPECT_EQ(answered, kEvents);
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationAck, RefusedEventsAreNeverAnswered) {
    station.addChannel({"127.0.0.2", 2});
    ASSERT_TRUE(station.start());
    EXPECT_EQ(answeredAfterNoise([](int) { return Bytes{kNak}; }, kPastTimeoutMs), 0);
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationAck, AChannelFromFiveOnWhoseHeartbeatsAreNeverConfirmedRelaysAgainWithinAPeriod) {
    constexpr int kPeriodMs = 2000;
    for (int s = 0; s < 5; ++s) {
        station.addChannel({"127.0.0.2", 2});
    }
    station.setEnv("LAN2COM_HEARTBEAT_MS", std::to_string(kPeriodMs));
    ASSERT_TRUE(station.start());
    UdpPeer transceiver("127.0.0.2");
    MonitorEnd& software = station.monitor(4);

    // An event nobody answers times the channel out.
    transceiver.sendTo(station.port(4), eventOf(1));
    ASSERT_EQ(software.read(21, kLineMs), lineOf(5, 1));
    ASSERT_TRUE(silentFor(transceiver, kPastTimeoutMs));
    const auto timedOut = Clock::now();

    // The software confirms events only; the transceiver repeats its event every 300 ms. Once
    // the next heartbeat line has gone out, the event must come through.
    bool relayed = false;
    while (!relayed && Clock::now() - timedOut < milliseconds(3 * kPeriodMs + kLineMs)) {
        transceiver.sendTo(station.port(4), eventOf(2));
        const Bytes line = nextLine(software, 300);
        if (line == lineOf(5, 2)) {
            software.write(kAck);
            Bytes reply;
            std::uint16_t from = 0;
            relayed = receiveReply(transceiver, reply, from, kReplyMs);
        } else {
            ASSERT_TRUE(line.empty() || line == heartbeatLine());  // heartbeats go unanswered
        }
    }
    ASSERT_TRUE(relayed);
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - timedOut);
    // At most one heartbeat period, and the time to see it through on a busy machine.
    EXPECT_LT(took.count(), kPeriodMs + kLineMs) << took.count() << " ms";
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationAck, AChannelFromFiveOnRelaysAtOnceWhenItsPairComesBack) {
    for (int s = 0; s < 5; ++s) {
        station.addChannel({"127.0.0.2", 2});
    }
    ASSERT_TRUE(station.start());  // the station's own 29 s heartbeat: no heartbeat helps here
    UdpPeer transceiver("127.0.0.2");

    station.monitor(4).close();
    ASSERT_TRUE(station.removePair(4));
    transceiver.sendTo(station.port(4), eventOf(1));
    EXPECT_TRUE(silentFor(transceiver, 800));

    ASSERT_TRUE(station.addPair(4));
    const auto added = Clock::now();
    ASSERT_TRUE(station.monitor(4).open());
    // The port is tried again every 5 s; the first event after that goes straight through.
    Bytes line;
    while (line.empty() && Clock::now() - added < std::chrono::seconds(15)) {
        transceiver.sendTo(station.port(4), eventOf(2));
        line = nextLine(station.monitor(4), 500);
    }
    ASSERT_EQ(line, lineOf(5, 2)) << "channel 5 did not relay within 15 s of its pair's return";
    station.monitor(4).write(kAck);
    Bytes reply;
    std::uint16_t from = 0;
    EXPECT_TRUE(receiveReply(transceiver, reply, from, kReplyMs));
    EXPECT_EQ(station.stop(), 0);
}

}  // namespace
}  // namespace lan2com::e2e
