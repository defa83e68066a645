#include "relay/channel_protocol.h"

#include "channels/channel_table.h"
#include "platform/tick_clock.h"

namespace lan2com {
namespace {

// Ticks run from 0 to the tick of the last millisecond before the 32-bit count wraps.
constexpr std::uint32_t kTickPeriod = 0xFFFFFFFFu / kTickMs + 1;

std::uint32_t ticksSince(std::uint32_t startTick, std::uint32_t nowMs) {
    return (toTicks(nowMs) + kTickPeriod - startTick) % kTickPeriod;
}

ProtocolAction action(ProtocolAction::Type type) {
    ProtocolAction a;
    a.type = type;
    return a;
}

ProtocolAction withDatagram(ProtocolAction::Type type, const IncomingDatagram& datagram) {
    ProtocolAction a = action(type);
    a.datagram = datagram;
    return a;
}

ProtocolAction dropNote(DropReason reason, const IncomingDatagram& datagram) {
    ProtocolAction a = withDatagram(ProtocolAction::Type::Note, datagram);
    a.note = NoteKind::Dropped;
    a.dropReason = reason;
    return a;
}

// The datagram is released without a line, and the journal is told why.
void drop(DropReason reason, const IncomingDatagram& datagram, ProtocolActions& out) {
    out.push_back(dropNote(reason, datagram));
    out.push_back(withDatagram(ProtocolAction::Type::Release, datagram));
}

ProtocolAction lamp(LampColor color) {
    ProtocolAction a = action(ProtocolAction::Type::Lamp);
    a.color = color;
    return a;
}

const char* colorName(LampColor color) {
    switch (color) {
        case LampColor::Lime:
            return "lime";
        case LampColor::Yellow:
            return "yellow";
        case LampColor::Teal:
            return "teal";
        case LampColor::Red:
            return "red";
    }
    return "?";
}

}  // namespace

const char* lineKindName(LineKind kind) {
    switch (kind) {
        case LineKind::Event:
            return "event";
        case LineKind::Service:
            return "service";
        case LineKind::Heartbeat:
            return "heartbeat";
    }
    return "?";
}

const char* noteName(NoteKind note) {
    switch (note) {
        case NoteKind::AnswerAck:
            return "ack";
        case NoteKind::AnswerRefused:
            return "refused";
        case NoteKind::AnswerOther:
            return "other";
        case NoteKind::AnswerNone:
            return "none";
        case NoteKind::AnswerAbandoned:
            return "abandoned";
        case NoteKind::Dropped:
            return "dropped";
    }
    return "?";
}

const char* dropReasonName(DropReason reason) {
    switch (reason) {
        case DropReason::None:
            return "";
        case DropReason::Foreign:
            return "foreign";
        case DropReason::Malformed:
            return "malformed";
        case DropReason::PortLost:
            return "port_lost";
        case DropReason::TimedOut:
            return "timed_out";
        case DropReason::NoRoom:
            return "no_room";
        case DropReason::Busy:
            return "busy";
        case DropReason::Stopped:
            return "stopped";
    }
    return "?";
}

std::string describe(const ProtocolAction& a) {
    const std::string id = " #" + std::to_string(a.datagram.id);
    switch (a.type) {
        case ProtocolAction::Type::WriteLine:
            return std::string("write ") + lineKindName(a.lineKind);
        case ProtocolAction::Type::ArmTimeout:
            return "arm";
        case ProtocolAction::Type::DisarmTimeout:
            return "disarm";
        case ProtocolAction::Type::SendOk:
            return "ok " + a.datagram.peer.address + ":" + std::to_string(a.datagram.peer.port) +
                   id;
        case ProtocolAction::Type::Release:
            return "release" + id;
        case ProtocolAction::Type::Lamp:
            return std::string("lamp ") + colorName(a.color);
        case ProtocolAction::Type::RestartHeartbeat:
            return "restart heartbeat";
        case ProtocolAction::Type::LogEvent:
            return "log event" + id;
        case ProtocolAction::Type::LogNoRoom:
            return "log no room";
        case ProtocolAction::Type::Note: {
            const std::string ofDatagram = a.datagram.id != 0 ? id : std::string();
            if (a.note == NoteKind::Dropped) {
                return std::string("note drop ") + dropReasonName(a.dropReason) + ofDatagram;
            }
            const std::string of = a.lineKind == LineKind::Event
                                       ? std::string()
                                       : std::string(" ") + lineKindName(a.lineKind);
            return std::string("note ") + noteName(a.note) + of + ofDatagram;
        }
    }
    return "?";
}

namespace {

std::string joined(const ProtocolActions& actions, bool notes) {
    std::string text;
    for (const ProtocolAction& a : actions) {
        if ((a.type == ProtocolAction::Type::Note) != notes) {
            continue;
        }
        if (!text.empty()) {
            text += "; ";
        }
        text += describe(a);
    }
    return text;
}

}  // namespace

std::string describe(const ProtocolActions& actions) {
    return joined(actions, false);
}

std::string describeNotes(const ProtocolActions& actions) {
    return joined(actions, true);
}

ChannelProtocol::ChannelProtocol(int channel) : channel_(channel) {}

std::optional<std::uint32_t> ChannelProtocol::expiresAtMs() const {
    if (waiting_ == Waiting::Nothing) {
        return std::nullopt;
    }
    const std::uint32_t tick = (writtenTick_ + kAckTimeoutTicks + 1) % kTickPeriod;
    return tick * kTickMs;
}

ProtocolActions ChannelProtocol::datagram(const IncomingDatagram& d, Moment now) {
    ProtocolActions out;
    // Foreign and malformed datagrams, datagrams for a lost port and, from channel 5 on, those of
    // a timed-out channel are dropped without a trace: nothing is written and nothing answered,
    // so the transceiver sends its event again.
    if (!d.fromConfiguredSource) {
        drop(DropReason::Foreign, d, out);
        return out;
    }
    if (d.kind == DatagramKind::Malformed) {
        drop(DropReason::Malformed, d, out);
        return out;
    }
    if (!portUp_) {
        drop(DropReason::PortLost, d, out);
        return out;
    }
    if (dropsWhileTimedOut() && timedOut_) {
        drop(DropReason::TimedOut, d, out);
        return out;
    }
    if (waiting_ == Waiting::Heartbeat && !queued_) {
        queued_ = d;  // written as soon as the heartbeat's wait ends
        return out;
    }
    if (waiting_ != Waiting::Nothing || queued_) {
        // The endpoint hands over the next datagram only after this one was released; should one
        // come all the same, it is not answered and the transceiver repeats it.
        drop(DropReason::Busy, d, out);
        return out;
    }
    startDatagram(d, now, out);
    return out;
}

void ChannelProtocol::startDatagram(const IncomingDatagram& d, Moment now, ProtocolActions& out) {
    if (now.outputFree < kLineLength) {
        // A line is written whole or not at all.
        if (!outOfRoom_) {
            out.push_back(action(ProtocolAction::Type::LogNoRoom));
            outOfRoom_ = true;
        }
        drop(DropReason::NoRoom, d, out);
        return;
    }
    current_ = d;
    if (d.kind == DatagramKind::Service) {
        writeLine(LineKind::Service, kHeartbeatLine, now, out);
        return;
    }
    writeLine(LineKind::Event, d.line, now, out);
}

void ChannelProtocol::writeLine(LineKind kind, const Line& line, Moment now, ProtocolActions& out) {
    out.push_back(action(ProtocolAction::Type::ArmTimeout));
    if (kind == LineKind::Event) {
        out.push_back(lamp(LampColor::Teal));
    } else if (kind == LineKind::Service) {
        out.push_back(lamp(LampColor::Yellow));
    }
    ProtocolAction write = action(ProtocolAction::Type::WriteLine);
    write.line = line;
    write.lineKind = kind;
    out.push_back(write);
    if (kind == LineKind::Event) {
        out.push_back(action(ProtocolAction::Type::RestartHeartbeat));
        out.push_back(withDatagram(ProtocolAction::Type::LogEvent, *current_));
    }
    switch (kind) {
        case LineKind::Event:
            waiting_ = Waiting::Event;
            break;
        case LineKind::Service:
            waiting_ = Waiting::Service;
            break;
        case LineKind::Heartbeat:
            waiting_ = Waiting::Heartbeat;
            // The monitoring software has a line to answer again: a channel that never sees a
            // confirmed heartbeat cannot stay deaf for good.
            timedOut_ = false;
            break;
    }
    writtenTick_ = toTicks(now.ms);
    outOfRoom_ = false;
    otherAnswerNoted_ = false;
}

LineKind ChannelProtocol::waitingLine() const {
    switch (waiting_) {
        case Waiting::Service:
            return LineKind::Service;
        case Waiting::Heartbeat:
            return LineKind::Heartbeat;
        case Waiting::Event:
        case Waiting::Nothing:
            break;
    }
    return LineKind::Event;
}

void ChannelProtocol::noteAnswer(NoteKind note, std::uint8_t byte, ProtocolActions& out) const {
    ProtocolAction a = action(ProtocolAction::Type::Note);
    a.note = note;
    a.lineKind = waitingLine();
    a.answerByte = byte;
    if (current_) {
        a.datagram = *current_;
    }
    out.push_back(a);
}

void ChannelProtocol::writeHeartbeat(Moment now, ProtocolActions& out) {
    heartbeatDue_ = false;
    if (now.outputFree > kHeartbeatRoomAbove) {
        writeLine(LineKind::Heartbeat, kHeartbeatLine, now, out);
    }
    // Otherwise this period goes without a heartbeat.
}

ProtocolActions ChannelProtocol::received(const std::uint8_t* bytes, std::size_t count,
                                          Moment now) {
    ProtocolActions out;
    bool lime = false;
    bool answered = false;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] != kAckByte) {
            // A refusal (0x15) or noise: it answers nothing, but the journal hears of the first.
            if (waiting_ != Waiting::Nothing && !otherAnswerNoted_) {
                otherAnswerNoted_ = true;
                noteAnswer(bytes[i] == kNakByte ? NoteKind::AnswerRefused : NoteKind::AnswerOther,
                           bytes[i], out);
            }
            continue;
        }
        if (waiting_ != Waiting::Nothing) {
            answer(out);
            answered = true;
            lime = true;
        } else if (!lime) {
            // Answers no line, but the link works: the lamp turns lime and the channel takes
            // datagrams again.
            out.push_back(lamp(LampColor::Lime));
            lime = true;
        }
        timedOut_ = false;
    }
    // Only once every byte that came with the answer has been read does the next line go out.
    if (answered) {
        proceed(now, out);
    }
    return out;
}

void ChannelProtocol::answer(ProtocolActions& out) {
    noteAnswer(NoteKind::AnswerAck, kAckByte, out);
    if (waiting_ == Waiting::Event) {
        out.push_back(withDatagram(ProtocolAction::Type::SendOk, *current_));
    }
    out.push_back(lamp(LampColor::Lime));
    out.push_back(action(ProtocolAction::Type::DisarmTimeout));
    if (current_) {
        out.push_back(withDatagram(ProtocolAction::Type::Release, *current_));
        current_.reset();
    }
    waiting_ = Waiting::Nothing;
}

ProtocolActions ChannelProtocol::timeout(Moment now) {
    ProtocolActions out;
    if (waiting_ == Waiting::Nothing || ticksSince(writtenTick_, now.ms) <= kAckTimeoutTicks) {
        return out;
    }
    if (waiting_ != Waiting::Heartbeat) {
        out.push_back(lamp(LampColor::Red));
        timedOut_ = true;
    }
    // An unanswered heartbeat changes neither the lamp nor the channel's state.
    noteAnswer(NoteKind::AnswerNone, 0, out);
    endWait(out);
    proceed(now, out);
    return out;
}

void ChannelProtocol::endWait(ProtocolActions& out) {
    if (current_) {
        out.push_back(withDatagram(ProtocolAction::Type::Release, *current_));
        current_.reset();
    }
    waiting_ = Waiting::Nothing;
}

void ChannelProtocol::proceed(Moment now, ProtocolActions& out) {
    // What arrived during a heartbeat's wait goes first, so that a short heartbeat period cannot
    // hold events back; a heartbeat that fell due meanwhile follows.
    if (queued_) {
        const IncomingDatagram next = *queued_;
        queued_.reset();
        startDatagram(next, now, out);
        if (waiting_ != Waiting::Nothing) {
            return;
        }
    }
    if (heartbeatDue_) {
        writeHeartbeat(now, out);
    }
}

ProtocolActions ChannelProtocol::heartbeat(Moment now) {
    ProtocolActions out;
    if (!portUp_) {
        return out;  // a lost port gets no heartbeat; it is being reopened
    }
    if (waiting_ != Waiting::Nothing) {
        heartbeatDue_ = true;
        return out;
    }
    writeHeartbeat(now, out);
    return out;
}

ProtocolActions ChannelProtocol::portLost() {
    ProtocolActions out = stop();
    portUp_ = false;
    out.push_back(lamp(LampColor::Red));
    return out;
}

ProtocolActions ChannelProtocol::portBack() {
    portUp_ = true;
    timedOut_ = false;  // nothing was written while the port was gone
    return {};
}

ProtocolActions ChannelProtocol::stop() {
    ProtocolActions out;
    if (waiting_ != Waiting::Nothing) {
        noteAnswer(NoteKind::AnswerAbandoned, 0, out);
        out.push_back(action(ProtocolAction::Type::DisarmTimeout));
    }
    endWait(out);
    if (queued_) {
        drop(DropReason::Stopped, *queued_, out);
        queued_.reset();
    }
    heartbeatDue_ = false;
    outOfRoom_ = false;
    // The next activation opens the port afresh; a port that fails again is reported again.
    portUp_ = true;
    return out;
}

}  // namespace lan2com
