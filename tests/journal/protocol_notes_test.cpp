#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "relay/channel_protocol.h"

namespace lan2com {
namespace {

// What a channel's protocol tells the journal, input by input, as describeNotes() writes it.
// Inputs as in the protocol's own table: "event N", "service N", "malformed N", "foreign N",
// "bytes 06 15 …", "timeout", "heartbeat", "lost", "back", "stop".
struct NoteStep {
    std::string input;
    std::uint32_t ms = 0;
    std::string notes;
    std::size_t free = 42;
};

struct NoteCase {
    const char* name;
    int channel;
    std::vector<NoteStep> steps;
};

ProtocolActions apply(ChannelProtocol& p, const NoteStep& step) {
    std::istringstream in(step.input);
    std::string word;
    in >> word;
    const ChannelProtocol::Moment now{step.ms, step.free};
    if (word == "event" || word == "service" || word == "malformed" || word == "foreign") {
        IncomingDatagram d;
        in >> d.id;
        d.peer = {"127.0.0.2", 5000};
        d.fromConfiguredSource = word != "foreign";
        d.kind = word == "service"     ? DatagramKind::Service
                 : word == "malformed" ? DatagramKind::Malformed
                                       : DatagramKind::Event;
        d.line.fill('5');
        return p.datagram(d, now);
    }
    if (word == "bytes") {
        std::vector<std::uint8_t> bytes;
        std::string hex;
        while (in >> hex) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex, nullptr, 16)));
        }
        return p.received(bytes.data(), bytes.size(), now);
    }
    if (word == "timeout") {
        return p.timeout(now);
    }
    if (word == "heartbeat") {
        return p.heartbeat(now);
    }
    if (word == "lost") {
        return p.portLost();
    }
    if (word == "back") {
        return p.portBack();
    }
    if (word == "stop") {
        return p.stop();
    }
    ADD_FAILURE() << "unknown input " << step.input;
    return {};
}

const std::vector<NoteCase> kNoteCases = {
    {"an acknowledged event",
     1,
     {{"event 1", 0, ""}, {"bytes 06", 100, "note ack #1"}, {"bytes 06", 200, ""}}},
    {"a refusal is noted once per wait, then the wait ends without an answer",
     1,
     {{"event 1", 0, ""},
      {"bytes 15 15", 50, "note refused #1"},
      {"bytes 41", 60, ""},
      {"timeout", 330, "note none #1"}}},
    {"another byte first, then the 0x06",
     1,
     {{"event 1", 0, ""}, {"bytes 41 15 06", 50, "note other #1; note ack #1"}}},
    {"bytes while nothing waits are no answer", 1, {{"bytes 15 41 06", 0, ""}}},
    {"heartbeat and service lines are noted with their kind",
     1,
     {{"heartbeat", 0, ""},
      {"bytes 15", 10, "note refused heartbeat"},
      {"timeout", 400, "note none heartbeat"},
      {"service 2", 500, ""},
      {"bytes 06", 510, "note ack service #2"}}},
    {"every datagram released without a line says why",
     5,
     {{"foreign 1", 0, "note drop foreign #1"},
      {"malformed 2", 0, "note drop malformed #2"},
      {"event 3", 0, "note drop no_room #3", 20},
      {"event 4", 10, ""},
      {"timeout", 400, "note none #4"},
      {"event 5", 410, "note drop timed_out #5"},
      {"bytes 06", 420, ""},
      {"lost", 430, ""},
      {"event 6", 440, "note drop port_lost #6"}}},
    {"a wait cut short by a lost port or a stop, and a queued datagram stopped",
     1,
     {{"event 1", 0, ""},
      {"lost", 10, "note abandoned #1"},
      {"back", 20, ""},
      {"heartbeat", 30, ""},
      {"event 2", 40, ""},
      {"event 3", 50, "note drop busy #3"},
      {"stop", 60, "note abandoned heartbeat; note drop stopped #2"}}},
};

TEST(ChannelProtocolNotes, TellTheJournalEachAnswerAndEachDrop) {
    for (const NoteCase& c : kNoteCases) {
        ChannelProtocol protocol(c.channel);
        for (const NoteStep& step : c.steps) {
            EXPECT_EQ(describeNotes(apply(protocol, step)), step.notes)
                << c.name << ": " << step.input << " at " << step.ms;
        }
    }
}

}  // namespace
}  // namespace lan2com
