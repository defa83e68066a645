#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channels/station_view.h"
#include "relay/conversion.h"

namespace lan2com {

// Everything written to a channel's port is a line of this many bytes.
constexpr std::size_t kLineLength = 21;
using Line = std::array<std::uint8_t, kLineLength>;

// The monitoring software's acknowledgement byte; no other byte it sends has a meaning.
constexpr std::uint8_t kAckByte = 0x06;
// Its refusal, which the channel ignores (the line waits on) and the journal records.
constexpr std::uint8_t kNakByte = 0x15;
// A written line waits for its acknowledgement until more than this many 55 ms ticks have passed
// since it was written: 276 to 330 ms.
constexpr std::uint32_t kAckTimeoutTicks = 5;
// From this channel number on, a channel drops every datagram while it is timed out.
constexpr int kFirstChannelDroppingWhileTimedOut = 5;
// A heartbeat line is written only with more than this many bytes free in the output buffer.
constexpr std::size_t kHeartbeatRoomAbove = kLineLength;

// Where a datagram came from, and where its "OK" goes.
struct Peer {
    std::string address;  // dotted IPv4
    std::uint16_t port = 0;
    friend bool operator==(const Peer& a, const Peer& b) {
        return a.address == b.address && a.port == b.port;
    }
};

// A datagram as the channel's protocol sees it: already classified and converted.
struct IncomingDatagram {
    std::uint64_t id = 0;  // chosen by the caller; names the datagram in Release and SendOk
    DatagramKind kind = DatagramKind::Malformed;
    bool fromConfiguredSource = false;  // the channel's transceiver, or any source is accepted
    Line line{};                        // the receiver line of an event
    Peer peer;
    std::string digits;            // the digit text, for the diagnostics log
    std::string level;             // the signal level text, for the diagnostics log
    std::uint32_t receivedMs = 0;  // when the caller received it (its millisecond clock)
};

enum class LineKind { Event, Service, Heartbeat };

// What a note tells the event journal: how a written line was answered, or why a datagram went
// without a line.
enum class NoteKind {
    AnswerAck,        // the line's 0x06 came
    AnswerRefused,    // 0x15 came while the line waited (the wait goes on)
    AnswerOther,      // another byte came while the line waited (the wait goes on)
    AnswerNone,       // no 0x06 within the wait
    AnswerAbandoned,  // the wait was ended by a lost port or a stop
    Dropped,          // the datagram was released without a line; dropReason says why
};
enum class DropReason { None, Foreign, Malformed, PortLost, TimedOut, NoRoom, Busy, Stopped };

// What the channel's protocol asks its caller to do, in the order given.
struct ProtocolAction {
    enum class Type {
        WriteLine,         // line, lineKind: write the 21 bytes to the port
        ArmTimeout,        // start the acknowledgement timeout (kAckTimeoutTicks)
        DisarmTimeout,     // stop it
        SendOk,            // datagram: answer "OK" to its peer
        Release,           // datagram: done with it; the endpoint may deliver the next one
        Lamp,              // color
        RestartHeartbeat,  // a full new heartbeat period starts now
        LogEvent,          // datagram: an event line was written (the diagnostics entry)
        LogNoRoom,         // the output buffer had no room for a line; said once per episode
        Note,              // note, lineKind, dropReason, answerByte, datagram: for the journal only
    };
    Type type = Type::Release;
    Line line{};
    LineKind lineKind = LineKind::Event;
    LampColor color = LampColor::Lime;
    IncomingDatagram datagram;  // SendOk, Release, LogEvent, Note (when one belongs to it)
    NoteKind note = NoteKind::AnswerAck;
    DropReason dropReason = DropReason::None;
    std::uint8_t answerByte = 0;  // AnswerRefused, AnswerOther: the first such byte of the wait
};
using ProtocolActions = std::vector<ProtocolAction>;

// One line of text per action, for logs and tests: "write event", "arm", "disarm",
// "ok 127.0.0.2:5000 #7", "release #7", "lamp red", "restart heartbeat", "log event #7",
// "log no room"; notes: "note ack #7", "note refused heartbeat", "note drop foreign #7".
std::string describe(const ProtocolAction& action);
// Joined with "; ", without the notes: what the caller does.
std::string describe(const ProtocolActions& actions);
// Only the notes, joined with "; ": what the journal is told.
std::string describeNotes(const ProtocolActions& actions);
// Short names for the journal: "ack", "refused", "other", "none", "abandoned", "dropped";
// "foreign", "malformed", "port_lost", "timed_out", "no_room", "busy", "stopped"; "event",
// "service", "heartbeat".
const char* noteName(NoteKind note);
const char* dropReasonName(DropReason reason);
const char* lineKindName(LineKind kind);

// The protocol of one channel between its transceiver and the monitoring software: a pure state
// machine. No I/O, no clock of its own, no threads: every input brings the present moment, and
// every answer is the list of actions to carry out.
//
// One line awaits its acknowledgement at a time, so every 0x06 answers the line it belongs to:
// - an event or service packet is written at once when nothing waits; one that arrives while a
//   heartbeat line waits is written when that wait ends;
// - a heartbeat due while a line waits is written when that wait ends;
// - bytes received while no line waits answer nothing (a 0x06 among them turns the lamp lime and
//   ends the timed-out state); while a line waits, its answer is the first 0x06;
// - an unanswered event or service line turns the lamp red and times the channel out; from
//   channel 5 on a timed-out channel drops datagrams until the next 0x06 or, at the latest, until
//   its next heartbeat line has been written; an unanswered heartbeat changes nothing;
// - a line is written whole or not at all: without room the datagram is dropped unanswered.
class ChannelProtocol {
  public:
    // The present moment: the millisecond clock (32 bits, wrapping) and the free bytes of the
    // port's output buffer.
    struct Moment {
        std::uint32_t ms = 0;
        std::size_t outputFree = 0;
    };

    explicit ChannelProtocol(int channel);  // channel number 1 to 16

    // A datagram from the channel's endpoint.
    ProtocolActions datagram(const IncomingDatagram& datagram, Moment now);
    // Bytes read from the port, oldest first.
    ProtocolActions received(const std::uint8_t* bytes, std::size_t count, Moment now);
    // The armed timeout has fired. A firing that comes before the wait has expired (one armed for
    // an earlier line) changes nothing.
    ProtocolActions timeout(Moment now);
    // The heartbeat period has run out.
    ProtocolActions heartbeat(Moment now);
    // The port has failed or could not be opened: the wait ends without a reply, and datagrams
    // are dropped until the port is back.
    ProtocolActions portLost();
    // The port is open again after a loss.
    ProtocolActions portBack();
    // The channel is stopped (a new configuration is applied, or the program ends): the wait ends
    // without a reply.
    ProtocolActions stop();

    int channel() const { return channel_; }
    bool waiting() const { return waiting_ != Waiting::Nothing; }
    bool timedOut() const { return timedOut_; }
    bool portUp() const { return portUp_; }
    // When the present wait expires (the first millisecond at which timeout() ends it).
    std::optional<std::uint32_t> expiresAtMs() const;

  private:
    enum class Waiting { Nothing, Event, Service, Heartbeat };

    bool dropsWhileTimedOut() const { return channel_ >= kFirstChannelDroppingWhileTimedOut; }
    void startDatagram(const IncomingDatagram& datagram, Moment now, ProtocolActions& out);
    void writeLine(LineKind kind, const Line& line, Moment now, ProtocolActions& out);
    void writeHeartbeat(Moment now, ProtocolActions& out);
    void answer(ProtocolActions& out);
    void endWait(ProtocolActions& out);  // the wait ends without an answer
    void proceed(Moment now, ProtocolActions& out);
    void noteAnswer(NoteKind note, std::uint8_t byte, ProtocolActions& out) const;
    LineKind waitingLine() const;

    int channel_;
    Waiting waiting_ = Waiting::Nothing;
    std::uint32_t writtenTick_ = 0;
    std::optional<IncomingDatagram> current_;  // the datagram whose line waits
    std::optional<IncomingDatagram> queued_;   // arrived while a heartbeat line waited
    bool heartbeatDue_ = false;
    bool timedOut_ = false;
    bool portUp_ = true;
    bool outOfRoom_ = false;         // the present episode without room has been logged
    bool otherAnswerNoted_ = false;  // a byte other than 0x06 has been noted for this wait
};

}  // namespace lan2com
