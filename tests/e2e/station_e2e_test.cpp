// The built program end to end: lan2com started as a station starts it, with COM pairs made by
// vcom-pair, transceivers on loopback addresses and the monitoring software on the far end of
// each pair. Each test starts the program once and ends it with SIGTERM, which must give exit
// code 0 (a sanitizer build also fails it on a leak).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "e2e/station_process.h"

namespace lan2com::e2e {
namespace {

using lan2com::test::UdpPeer;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Bytes kOK = {'O', 'K'};
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
// Time for a line to come through the pair, with room for a busy machine.
constexpr int kLineMs = 3000;
constexpr int kReplyMs = 2000;
// Well past the acknowledgement timeout (276 to 330 ms).
constexpr int kPastTimeoutMs = 1000;

// The reference event: digits 1 2 3 4 7 8 1 1 3 A A 1 A A 5 C.
const Bytes kReference = eventDatagram("123478113AA1AA5C");
// Zeros in every field: account 1030, restore (3), event 401, group 0A, zone 005.
const Bytes kZeros = eventDatagram("10301034010A0050");

// An event of the given account (four decimal digits), otherwise the reference event.
Bytes eventOf(const std::string& account) {
    return eventDatagram(account + "78113AA1AA5C");
}
// Its line on channel 1 … 9 with no conversion.
Bytes lineOf(int channel, const std::string& account) {
    return bytesOf("50" + std::to_string(channel) + "1 18" + account + "E13AA1AA5\x14");
}

std::string millis(Clock::duration d) {
    return std::to_string(std::chrono::duration_cast<milliseconds>(d).count()) + " ms";
}

class StationE2E : public ::testing::Test {
  protected:
    // Sends an event and acknowledges its line, which must come on the slot's pair; the reply
    // must be "OK" from the channel's own port.
    void relayOnce(UdpPeer& from, int slot, const Bytes& datagram, const Bytes& line) {
        from.sendTo(station.port(slot), datagram);
        ASSERT_EQ(station.monitor(slot).read(21, kLineMs), line) << "slot " << slot;
        station.monitor(slot).write(kAck);
        Bytes reply;
        std::uint16_t fromPort = 0;
        ASSERT_TRUE(receiveReply(from, reply, fromPort, kReplyMs)) << "slot " << slot;
        EXPECT_EQ(reply, kOK);
        EXPECT_EQ(fromPort, station.port(slot));
    }

    StationProcess station;
};

TEST_F(StationE2E, LinesConversionsServicePacketsAndRepliesOnAcknowledgementOnly) {
    station.addChannel({"127.0.0.2", 1});  // channel 1, "0->A"
    station.addChannel({"127.0.0.2", 2});  // channel 2, no conversion
    station.addChannel({"127.0.0.2", 0});  // channel 3, "A->0"
    ASSERT_TRUE(station.start());
    UdpPeer transceiver("127.0.0.2");

    // The reference event, byte for byte, on channel 3 with "A->0"; no reply before the
    // acknowledgement, then exactly one, to the sender's address and port from the channel's port.
    transceiver.sendTo(station.port(2), kReference);
    EXPECT_EQ(station.monitor(2).read(21, kLineMs), bytesOf("5031 181234E13001005\x14"));
    EXPECT_TRUE(silentFor(transceiver, 100));
    station.monitor(2).write(kAck);
    Bytes reply;
    std::uint16_t fromPort = 0;
    ASSERT_TRUE(receiveReply(transceiver, reply, fromPort, kReplyMs));
    EXPECT_EQ(reply, kOK);
    EXPECT_EQ(fromPort, station.port(2));
    EXPECT_TRUE(silentFor(transceiver, 500)) << "a second reply";

    // The three conversion modes on the digit 0.
    relayOnce(transceiver, 0, kZeros, bytesOf("5011 181A3AR4A1AAAA5\x14"));
    relayOnce(transceiver, 1, kZeros, bytesOf("5021 181030R4010A005\x14"));
    relayOnce(transceiver, 2, kZeros, bytesOf("5031 181030R40100005\x14"));

    // Service packets write the heartbeat line and are never answered, acknowledged or not.
    for (const std::size_t length : {6u, 11u, 14u}) {
        transceiver.sendTo(station.port(1), Bytes(length, 0x01));
        EXPECT_EQ(station.monitor(1).read(21, kLineMs), heartbeatLine()) << length;
        station.monitor(1).write(kAck);
        EXPECT_TRUE(silentFor(transceiver, 300)) << length;
    }

    // A refusal is no acknowledgement; the 0x06 after it is.
    transceiver.sendTo(station.port(0), kReference);
    ASSERT_EQ(station.monitor(0).read(21, kLineMs).size(), 21u);
    station.monitor(0).write(kNak);
    EXPECT_TRUE(silentFor(transceiver, 80));
    station.monitor(0).write(kAck);
    ASSERT_TRUE(receiveReply(transceiver, reply, fromPort, kReplyMs));
    EXPECT_EQ(reply, kOK);
    EXPECT_EQ(fromPort, station.port(0));

    // Two channels waiting at once, acknowledged in reverse order: each is answered as soon as
    // its own acknowledgement arrives.
    UdpPeer second("127.0.0.2");
    transceiver.sendTo(station.port(0), kReference);
    ASSERT_EQ(station.monitor(0).read(21, kLineMs).size(), 21u);
    second.sendTo(station.port(2), kReference);
    ASSERT_EQ(station.monitor(2).read(21, kLineMs).size(), 21u);
    station.monitor(2).write(kAck);
    ASSERT_TRUE(receiveReply(second, reply, fromPort, kReplyMs));
    EXPECT_EQ(fromPort, station.port(2));
    EXPECT_TRUE(silentFor(transceiver, 0)) << "channel 1 answered before its acknowledgement";
    station.monitor(0).write(kAck);
    ASSERT_TRUE(receiveReply(transceiver, reply, fromPort, kReplyMs));
    EXPECT_EQ(fromPort, station.port(0));

    // The end while an event waits for its acknowledgement: no reply, an orderly exit.
    transceiver.sendTo(station.port(2), kReference);
    ASSERT_EQ(station.monitor(2).read(21, kLineMs).size(), 21u);
    const auto stopping = Clock::now();
    EXPECT_EQ(station.stop(), 0);
    EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(5)) << millis(Clock::now() - stopping);
    EXPECT_TRUE(silentFor(transceiver, 300));
    EXPECT_TRUE(silentFor(second, 0));
}

TEST_F(StationE2E, UnansweredEventsTimeOutAndFromChannelFiveOnTheNextAreDroppedUntilAnAck) {
    for (int s = 0; s < 5; ++s) {
        station.addChannel({"127.0.0.2", 2});
    }
    ASSERT_TRUE(station.start());
    UdpPeer first("127.0.0.2");
    UdpPeer fifth("127.0.0.2");

    first.sendTo(station.port(0), eventOf("1111"));
    fifth.sendTo(station.port(4), eventOf("1111"));
    EXPECT_EQ(station.monitor(0).read(21, kLineMs), lineOf(1, "1111"));
    EXPECT_EQ(station.monitor(4).read(21, kLineMs), lineOf(5, "1111"));
    EXPECT_TRUE(silentFor(first, kPastTimeoutMs));
    EXPECT_TRUE(silentFor(fifth, 0));

    // A late acknowledgement answers nothing.
    station.monitor(0).write(kAck);
    EXPECT_TRUE(silentFor(first, 400));

    // Channel 1 takes the next event as usual; channel 5, timed out, drops it.
    relayOnce(first, 0, eventOf("2222"), lineOf(1, "2222"));
    fifth.sendTo(station.port(4), eventOf("2222"));
    EXPECT_TRUE(station.monitor(4).readFor(800).empty());
    EXPECT_TRUE(silentFor(fifth, 0));

    // An acknowledgement (of a heartbeat line, say) ends the dropping; nothing of the dropped
    // event comes after it.
    station.monitor(4).write(kAck);
    std::this_thread::sleep_for(milliseconds(100));
    relayOnce(fifth, 4, eventOf("3333"), lineOf(5, "3333"));
    EXPECT_TRUE(station.monitor(4).readFor(300).empty());
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationE2E, TheHeartbeatLineComesEveryPeriodAndAnEventLineRestartsThePeriod) {
    constexpr int kPeriodMs = 1500;
    station.addChannel({"127.0.0.2", 2});
    station.setEnv("LAN2COM_HEARTBEAT_MS", std::to_string(kPeriodMs));
    ASSERT_TRUE(station.start());
    UdpPeer transceiver("127.0.0.2");

    EXPECT_EQ(station.monitor(0).read(21, kPeriodMs + kLineMs), heartbeatLine());

    // A third of a period after a heartbeat an event comes: the next heartbeat waits a whole
    // period from the event line, not from the heartbeat before it. (The times seen here can only
    // be late, so the lower bound holds on a busy machine.)
    std::this_thread::sleep_for(milliseconds(kPeriodMs / 3));
    const auto sent = Clock::now();
    relayOnce(transceiver, 0, eventOf("1234"), lineOf(1, "1234"));
    EXPECT_EQ(station.monitor(0).read(21, kPeriodMs + kLineMs), heartbeatLine());
    EXPECT_GE(Clock::now() - sent, milliseconds(kPeriodMs * 9 / 10)) << millis(Clock::now() - sent);
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationE2E, TheMonitoringSoftwareClosesAndReopensItsPortMidStream) {
    station.addChannel({"127.0.0.2", 2});
    ASSERT_TRUE(station.start());
    UdpPeer transceiver("127.0.0.2");
    MonitorEnd& software = station.monitor(0);

    for (const char* account : {"1001", "1002", "1003"}) {
        relayOnce(transceiver, 0, eventOf(account), lineOf(1, account));
    }
    // The software closes its port; the next event finds nobody to acknowledge it.
    software.close();
    transceiver.sendTo(station.port(0), eventOf("1004"));
    EXPECT_TRUE(silentFor(transceiver, kPastTimeoutMs));
    // Reopened, the software reads the line written meanwhile; its late answer gets no reply,
    // and the transceiver's repetition of the event goes through.
    ASSERT_TRUE(software.open());
    EXPECT_EQ(software.read(21, kLineMs), lineOf(1, "1004"));
    software.write(kAck);
    EXPECT_TRUE(silentFor(transceiver, 400));
    for (const char* account : {"1004", "1005", "1006"}) {
        relayOnce(transceiver, 0, eventOf(account), lineOf(1, account));
    }
    EXPECT_TRUE(software.readFor(200).empty());
    EXPECT_EQ(station.stop(), 0);
}

TEST_F(StationE2E, APairRemovedAndMadeAgainWithVcomPairIsTakenBackIntoService) {
    station.addChannel({"127.0.0.2", 2});
    station.addChannel({"127.0.0.2", 2});
    ASSERT_TRUE(station.start());
    UdpPeer transceiver("127.0.0.2");
    relayOnce(transceiver, 0, eventOf("1000"), lineOf(1, "1000"));

    // The pair goes: the event of channel 1 goes nowhere and is not answered; channel 2 works on.
    station.monitor(0).close();
    ASSERT_TRUE(station.removePair(0));
    transceiver.sendTo(station.port(0), eventOf("1111"));
    EXPECT_TRUE(silentFor(transceiver, 800));
    relayOnce(transceiver, 1, eventOf("2000"), lineOf(2, "2000"));

    // The pair comes back under the same names; the program reopens the port by itself (it
    // retries every 5 s). Events sent until then are dropped, not written later.
    ASSERT_TRUE(station.addPair(0));
    const auto added = Clock::now();
    ASSERT_TRUE(station.monitor(0).open());
    Bytes line;
    while (line.empty() && Clock::now() - added < std::chrono::seconds(20)) {
        transceiver.sendTo(station.port(0), eventOf("2222"));
        line = station.monitor(0).read(21, 1000);
    }
    ASSERT_FALSE(line.empty()) << "channel 1 did not come back within 20 s";
    EXPECT_EQ(line, lineOf(1, "2222"));
    EXPECT_LT(Clock::now() - added, std::chrono::seconds(12)) << millis(Clock::now() - added);
    // Let whatever was still on its way time out, then relay as usual.
    std::this_thread::sleep_for(milliseconds(kPastTimeoutMs));
    EXPECT_TRUE(station.monitor(0).readFor(100).empty());
    EXPECT_TRUE(silentFor(transceiver, 0));
    relayOnce(transceiver, 0, eventOf("3333"), lineOf(1, "3333"));
    EXPECT_TRUE(station.running());
    EXPECT_EQ(station.stop(), 0);
}

}  // namespace
}  // namespace lan2com::e2e
