#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "relay/conversion.h"
#include "sim_codec.h"

namespace alarmsim {
namespace {

// What the relay makes of a datagram on channel `channel` with conversion mode `mode`, decoded
// the way the monitor decodes it.
ReceiverLine throughRelay(const std::vector<std::uint8_t>& datagram, int channel,
                          std::uint8_t mode) {
    EXPECT_EQ(lan2com::classifyDatagram(datagram.data(), datagram.size()),
              lan2com::DatagramKind::Event);
    const std::string cid = lan2com::Data2CId(datagram.data(), datagram.size());
    EXPECT_EQ(cid.size(), 16u);
    const std::string line = lan2com::CId2SG(cid, channel, mode);
    return decodeLine(std::vector<std::uint8_t>(line.begin(), line.end()));
}

std::vector<std::uint8_t> bytes(const EventFields& f, ZeroAs zero) {
    const auto a = encodeEvent(f, zero);
    return {a.begin(), a.end()};
}

void expectFields(const ReceiverLine& line, const EventFields& f, int channel, char qualifier) {
    ASSERT_EQ(line.kind, ReceiverLine::Kind::Event) << escapeBytes(line.bytes);
    EXPECT_EQ(line.channel, channel);
    EXPECT_EQ(line.account, f.account);
    EXPECT_EQ(line.qualifier, qualifier);
    EXPECT_EQ(line.event, f.event);
    EXPECT_EQ(line.group, f.group);
    EXPECT_EQ(line.zone, f.zone);
}

TEST(AlarmSimCodec, EventsComeOutOfTheRelayWithTheirOwnFields) {
    struct Case {
        EventFields fields;
        char qualifier;
    };
    const std::vector<Case> cases = {
        {{"1234", "1", "130", "01", "005", 7}, 'E'},
        {{"0000", "3", "602", "00", "000", 1}, 'R'},
        {{"9876", "6", "401", "99", "999", 15}, 'P'},
        {{"1020", "1", "100", "10", "010", 0}, 'E'},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.account + c.fields.event);
        // Zeros sent as A, as transceivers do, on a channel with the default "A->0" conversion.
        expectFields(throughRelay(bytes(c.fields, ZeroAs::A), 3, 0), c.fields, 3, c.qualifier);
        // Zeros sent as 0 on a channel without conversion.
        expectFields(throughRelay(bytes(c.fields, ZeroAs::Zero), 16, 2), c.fields, 16, c.qualifier);
        // The level digit is what the relay reads as the signal level.
        const auto datagram = bytes(c.fields, ZeroAs::A);
        const std::string cid = lan2com::Data2CId(datagram.data(), datagram.size());
        const std::string expectedLevel = c.fields.level == 7    ? "- 78 dBm"
                                          : c.fields.level == 15 ? "-110 dBm"
                                          : c.fields.level == 1  ? "    "
                                                                 : "????";
        EXPECT_EQ(lan2com::CId2Lvl(cid), expectedLevel);
    }
}

TEST(AlarmSimCodec, HexDigitsAndTheZeroToAConversion) {
    const EventFields hex{"BEEF", "1", "A0C", "F1", "0D0", 3};
    // Without conversion every hexadecimal digit arrives as it was sent.
    expectFields(throughRelay(bytes(hex, ZeroAs::Zero), 10, 2), hex, 10, 'E');
    // "0->A" shows every zero as A, however it was sent.
    const EventFields shown{"BEEF", "1", "AAC", "F1", "ADA", 3};
    expectFields(throughRelay(bytes(hex, ZeroAs::A), 10, 1), shown, 10, 'E');
    expectFields(throughRelay(bytes(hex, ZeroAs::Zero), 10, 1), shown, 10, 'E');
    EXPECT_THROW(encodeEvent({"12G4", "1", "130", "01", "005", 1}, ZeroAs::A),
                 std::invalid_argument);
    EXPECT_THROW(encodeEvent({"1234", "1", "130", "01", "05", 1}, ZeroAs::A),
                 std::invalid_argument);
    EXPECT_THROW(encodeEvent({"1234", "1", "130", "01", "005", 16}, ZeroAs::A),
                 std::invalid_argument);
}

TEST(AlarmSimCodec, ServicePacketsAndTheHeartbeatLine) {
    for (std::size_t n : {6u, 11u, 14u}) {
        const auto packet = servicePacket(n);
        EXPECT_EQ(lan2com::classifyDatagram(packet.data(), packet.size()),
                  lan2com::DatagramKind::Service);
    }
    EXPECT_THROW(servicePacket(16), std::invalid_argument);
    const std::vector<std::uint8_t> heartbeat(lan2com::kHeartbeatLine.begin(),
                                              lan2com::kHeartbeatLine.end());
    EXPECT_EQ(decodeLine(heartbeat).kind, ReceiverLine::Kind::Heartbeat);
    EXPECT_EQ(describeLine(decodeLine(heartbeat)), "kind=heartbeat");
    EXPECT_TRUE(isOkReply({'O', 'K'}));
    EXPECT_FALSE(isOkReply({'O', 'K', 0}));
    EXPECT_FALSE(isOkReply({'o', 'k'}));
}

TEST(AlarmSimCodec, MalformedLinesAreUnknown) {
    const std::string good = "5031 181234E13001005\x14";
    ASSERT_EQ(decodeLine({good.begin(), good.end()}).kind, ReceiverLine::Kind::Event);
    const auto kindOf = [&](std::size_t at, char c) {
        std::string s = good;
        s[at] = c;
        return decodeLine({s.begin(), s.end()}).kind;
    };
    EXPECT_EQ(kindOf(0, '4'), ReceiverLine::Kind::Unknown);    // not a receiver line
    EXPECT_EQ(kindOf(2, 'g'), ReceiverLine::Kind::Unknown);    // channel not hexadecimal
    EXPECT_EQ(kindOf(4, '_'), ReceiverLine::Kind::Unknown);    // "1 18" broken
    EXPECT_EQ(kindOf(11, 'X'), ReceiverLine::Kind::Unknown);   // no qualifier letter
    EXPECT_EQ(kindOf(15, 'a'), ReceiverLine::Kind::Unknown);   // lower case in a field
    EXPECT_EQ(kindOf(20, '\r'), ReceiverLine::Kind::Unknown);  // no DC4 at the end
    const std::string shortLine = good.substr(1);
    const ReceiverLine cut = decodeLine({shortLine.begin(), shortLine.end()});
    EXPECT_EQ(cut.kind, ReceiverLine::Kind::Unknown);
    EXPECT_EQ(describeLine(cut), "kind=unknown length=20 bytes=\"031 181234E13001005\\x14\"");
    EXPECT_EQ(describeLine(decodeLine(std::vector<std::uint8_t>(21, 0))).substr(0, 31),
              "kind=unknown length=21 bytes=\"\\");
}

TEST(AlarmSimCodec, SplitterFindsLinesAcrossReadsAndAfterGarbage) {
    const std::string line = "5101 181234E13001005\x14";
    const std::string heartbeat(lan2com::kHeartbeatLine.begin(), lan2com::kHeartbeatLine.end());
    LineSplitter s;
    const auto feed = [&](const std::string& text) {
        return s.feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    };
    EXPECT_TRUE(feed(line.substr(0, 10)).empty());
    auto frames = feed(line.substr(10) + heartbeat + "xy");
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(decodeLine(frames[0]).kind, ReceiverLine::Kind::Event);
    EXPECT_EQ(decodeLine(frames[0]).channel, 16);
    EXPECT_EQ(decodeLine(frames[1]).kind, ReceiverLine::Kind::Heartbeat);
    // "xy" stays pending, then precedes a line: it becomes a frame of its own.
    frames = feed(line);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], (std::vector<std::uint8_t>{'x', 'y'}));
    EXPECT_EQ(decodeLine(frames[1]).kind, ReceiverLine::Kind::Event);
    // A long run without DC4 is cut; nothing piles up.
    frames = feed(std::string(150, 'z'));
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(s.pending().size(), 150 - 2 * LineSplitter::kMaxFrame);
}

TEST(AlarmSimCodec, SequenceCountsGroupAndZoneTogether) {
    const EventFields first{"1234", "1", "130", "01", "998", 1};
    EXPECT_EQ(sequenceFields(first, 0).zone, "998");
    const EventFields third = sequenceFields(first, 3);
    EXPECT_EQ(third.group + third.zone, "02001");
    const EventFields wrapped = sequenceFields({"1234", "1", "130", "99", "999", 1}, 2);
    EXPECT_EQ(wrapped.group + wrapped.zone, "00001");
    EXPECT_EQ(wrapped.account, "1234");
    EXPECT_THROW(sequenceFields({"1234", "1", "130", "0A", "999", 1}, 1), std::invalid_argument);
}

}  // namespace
}  // namespace alarmsim
