#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "relay/channel_protocol.h"

namespace lan2com {
namespace {

// One input to a channel's protocol and the actions it must give, as describe() writes them.
// Inputs: "event N", "service N", "malformed N", "foreign N" (a datagram with id N from the
// transceiver 127.0.0.2:5000, or from elsewhere), "bytes 06 15 …" (hex), "timeout", "heartbeat",
// "lost", "back", "stop".
struct Step {
    std::string input;
    std::uint32_t ms = 0;
    std::string expect;
    std::size_t free = 42;  // free bytes in the port's output buffer
};

struct Case {
    const char* name;
    int channel;
    std::vector<Step> steps;
};

IncomingDatagram datagram(const std::string& kind, std::uint64_t id) {
    IncomingDatagram d;
    d.id = id;
    d.peer = {"127.0.0.2", 5000};
    d.fromConfiguredSource = kind != "foreign";
    d.kind = kind == "service"     ? DatagramKind::Service
             : kind == "malformed" ? DatagramKind::Malformed
                                   : DatagramKind::Event;
    d.line.fill('5');
    d.digits = "1234781130010015";
    return d;
}

ProtocolActions apply(ChannelProtocol& protocol, const Step& step) {
    std::istringstream in(step.input);
    std::string word;
    in >> word;
    const ChannelProtocol::Moment now{step.ms, step.free};
    if (word == "event" || word == "service" || word == "malformed" || word == "foreign") {
        std::uint64_t id = 0;
        in >> id;
        return protocol.datagram(datagram(word, id), now);
    }
    if (word == "bytes") {
        std::vector<std::uint8_t> bytes;
        std::string hex;
        while (in >> hex) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
        }
        return protocol.received(bytes.data(), bytes.size(), now);
    }
    if (word == "timeout") {
        return protocol.timeout(now);
    }
    if (word == "heartbeat") {
        return protocol.heartbeat(now);
    }
    if (word == "lost") {
        return protocol.portLost();
    }
    if (word == "back") {
        return protocol.portBack();
    }
    if (word == "stop") {
        return protocol.stop();
    }
    ADD_FAILURE() << "unknown input " << step.input;
    return {};
}

const std::string kEventWritten = "arm; lamp teal; write event; restart heartbeat";
std::string written(int id) {
    return kEventWritten + "; log event #" + std::to_string(id);
}
std::string answered(int id) {
    const std::string n = std::to_string(id);
    return "ok 127.0.0.2:5000 #" + n + "; lamp lime; disarm; release #" + n;
}
const std::string kHeartbeatWritten = "arm; write heartbeat";
std::string timedOut(int id) {
    return "lamp red; release #" + std::to_string(id);
}

std::string noise(int count) {
    std::string bytes;
    for (int i = 0; i < count; ++i) {
        bytes += (i % 7 == 3) ? " 06" : (i % 2 == 0 ? " 15" : " 41");
    }
    return bytes;
}

const std::vector<Case> kCases = {
    {"an acknowledged event is answered once",
     1,
     {{"event 1", 0, written(1)}, {"bytes 06", 100, answered(1)}, {"bytes 06", 200, "lamp lime"}}},
    {"the wait expires after more than five ticks, not earlier",
     1,
     {{"event 1", 0, written(1)},
      {"timeout", 329, ""},
      {"timeout", 330, timedOut(1)},
      {"event 2", 400, written(2)},  // tick 7
      {"timeout", 714, ""},          // tick 12: five ticks on
      {"timeout", 715, timedOut(2)}}},
    {"the wait expires across the wrap of the millisecond clock",
     1,
     {{"event 1", 4294967200u, written(1)}, {"timeout", 164, ""}, {"timeout", 165, timedOut(1)}}},
    {"a refusal or noise answers nothing, and a late 0x06 answers nothing either",
     1,
     {{"event 1", 0, written(1)},
      {"bytes 15", 50, ""},
      {"bytes 41 00 ff 14", 60, ""},
      {"timeout", 330, timedOut(1)},
      {"bytes 06", 400, "lamp lime"}}},
    {"a noise burst while nothing waits shifts nothing",
     1,
     {{"bytes" + noise(50), 0, "lamp lime"},
      {"event 1", 10, written(1)},
      {"bytes 06", 20, answered(1)},
      {"event 2", 30, written(2)},
      {"bytes 15", 40, ""},
      {"timeout", 400, timedOut(2)}}},
    {"surplus 0x06 after an answer does not answer the next line",
     1,
     {{"event 1", 0, written(1)},
      {"bytes 06 06 06", 10, answered(1)},
      {"event 2", 20, written(2)},
      {"bytes 15", 30, ""},
      {"timeout", 400, timedOut(2)}}},
    {"from channel 5 on a timed-out channel drops datagrams until the next 0x06",
     5,
     {{"event 1", 0, written(1)},
      {"timeout", 330, timedOut(1)},
      {"event 2", 400, "release #2"},
      {"service 3", 410, "release #3"},
      {"bytes 06", 420, "lamp lime"},
      {"event 4", 430, written(4)}}},
    {"channel 4 does not drop while timed out",
     4,
     {{"event 1", 0, written(1)}, {"timeout", 330, timedOut(1)}, {"event 2", 400, written(2)}}},
    {"a heartbeat line ends the timed-out state even when nobody confirms it",
     16,
     {{"event 1", 0, written(1)},
      {"timeout", 330, timedOut(1)},
      {"event 2", 400, "release #2"},
      {"heartbeat", 1000, kHeartbeatWritten},
      {"timeout", 1400, ""},
      {"event 3", 1500, written(3)}}},
    {"a heartbeat refused with 0x15 does not hold the channel either",
     5,
     {{"event 1", 0, written(1)},
      {"timeout", 330, timedOut(1)},
      {"heartbeat", 1000, kHeartbeatWritten},
      {"bytes 15", 1010, ""},
      {"event 2", 1020, ""},
      {"timeout", 1400, written(2)}}},
    {"a heartbeat due while a line waits is written when the wait ends",
     1,
     {{"event 1", 0, written(1)},
      {"heartbeat", 100, ""},
      {"bytes 06", 200, answered(1) + "; " + kHeartbeatWritten},
      {"bytes 06", 250, "lamp lime; disarm"}}},
    {"the 0x06 of a heartbeat does not answer an event that came during its wait",
     1,
     {{"heartbeat", 0, kHeartbeatWritten},
      {"event 1", 50, ""},
      {"bytes 06", 100, "lamp lime; disarm; " + written(1)},
      {"bytes 15", 150, ""},
      {"timeout", 500, timedOut(1)}}},
    {"an event waits behind an unanswered heartbeat at most one window",
     1,
     {{"heartbeat", 0, kHeartbeatWritten},
      {"event 1", 50, ""},
      {"timeout", 330, written(1)},
      {"bytes 06", 400, answered(1)}}},
    {"with a short heartbeat period and a silent monitor events still go out first",
     1,
     {{"heartbeat", 0, kHeartbeatWritten},
      {"heartbeat", 100, ""},
      {"event 1", 150, ""},
      {"timeout", 330, written(1)},
      {"timeout", 660, timedOut(1) + "; " + kHeartbeatWritten}}},
    {"a service packet writes the heartbeat line and is never answered",
     1,
     {{"service 1", 0, "arm; lamp yellow; write service"},
      {"bytes 06", 10, "lamp lime; disarm; release #1"},
      {"service 2", 20, "arm; lamp yellow; write service"},
      {"timeout", 400, timedOut(2)}}},
    {"the heartbeat needs more than 21 free bytes",
     1,
     {{"heartbeat", 0, "", 21}, {"heartbeat", 100, kHeartbeatWritten, 22}}},
    {"a line is written whole or not at all, and the lack of room is logged once",
     1,
     {{"event 1", 0, "log no room; release #1", 20},
      {"service 2", 10, "release #2", 0},
      {"event 3", 20, written(3), 21},
      {"bytes 06", 30, answered(3)},
      {"event 4", 40, "log no room; release #4", 20}}},
    {"foreign and malformed datagrams leave no trace",
     1,
     {{"foreign 1", 0, "release #1"},
      {"malformed 2", 0, "release #2"},
      {"event 3", 0, written(3)}}},
    {"a lost port ends the wait without a reply and takes nothing until it is back",
     1,
     {{"event 1", 0, written(1)},
      {"lost", 10, "disarm; release #1; lamp red"},
      {"bytes 06", 20, "lamp lime"},
      {"event 2", 30, "release #2"},
      {"heartbeat", 40, ""},
      {"back", 50, ""},
      {"event 3", 60, written(3)}}},
    {"a port that comes back does not leave its channel timed out",
     5,
     {{"event 1", 0, written(1)},
      {"timeout", 330, timedOut(1)},
      {"lost", 400, "lamp red"},
      {"back", 5400, ""},
      {"event 2", 5410, written(2)}}},
    {"stopping ends the wait and what waits behind a heartbeat without a reply",
     1,
     {{"heartbeat", 0, kHeartbeatWritten},
      {"event 1", 10, ""},
      {"stop", 20, "disarm; release #1"},
      {"bytes 06", 30, "lamp lime"},
      {"event 2", 40, written(2)},
      {"stop", 50, "disarm; release #2"}}},
    {"a channel stopped while its port was lost takes datagrams after the next activation",
     1,
     {{"lost", 0, "lamp red"}, {"stop", 10, ""}, {"event 1", 20, written(1)}}},
    {"a timeout armed for an earlier line does not end the next one",
     1,
     {{"event 1", 0, written(1)},
      {"bytes 06", 100, answered(1)},
      {"event 2", 120, written(2)},
      {"timeout", 130, ""},
      {"timeout", 439, ""},
      {"timeout", 440, timedOut(2)}}},
};

TEST(ChannelProtocol, Rules) {
    for (const Case& c : kCases) {
        ChannelProtocol protocol(c.channel);
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            EXPECT_EQ(describe(apply(protocol, step)), step.expect)
                << c.name << ", step " << i + 1 << ": " << step.input << " at " << step.ms;
        }
    }
}

TEST(ChannelProtocol, TellsWhenTheWaitExpires) {
    ChannelProtocol protocol(1);
    EXPECT_FALSE(protocol.expiresAtMs());
    protocol.datagram(datagram("event", 1), {54, 42});  // tick 0
    EXPECT_EQ(protocol.expiresAtMs(), 330u);
    EXPECT_TRUE(protocol.waiting());
    protocol.timeout({330, 42});
    EXPECT_FALSE(protocol.expiresAtMs());
    EXPECT_TRUE(protocol.timedOut());
}

}  // namespace
}  // namespace lan2com
