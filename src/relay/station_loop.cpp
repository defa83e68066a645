#include "relay/station_loop.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <thread>
#include <utility>

#include "net/datagram_endpoint.h"
#include "platform/convert.h"
#include "platform/cp1251.h"
#include "platform/wait_set.h"
#include "relay/channel_protocol.h"
#include "relay/conversion.h"
#include "serial/com_port.h"

namespace lan2com {
namespace {

// Datagrams read from one channel's socket per wake-up: a flooded channel cannot starve the
// others, and what it leaves unread wakes the next wait at once.
constexpr std::size_t kReadBudget = 64;
// Datagrams of a channel's own transceiver that wait while the protocol holds one: beyond this
// they are dropped unanswered, and the transceiver repeats them.
constexpr std::size_t kBacklogLimit = 64;
// Datagrams from strangers go into the journal as one row per channel per this period, with
// their count: a flood cannot swamp it.
constexpr std::uint32_t kForeignRowPeriodMs = 1000;

// How far the 32-bit millisecond clock has to go until `due` (negative: past).
std::int32_t msUntil(std::uint32_t due, std::uint32_t now) {
    return static_cast<std::int32_t>(due - now);
}

}  // namespace

namespace {

// The number that follows the first three characters of a port's name (COM12 gives 12);
// ConvertError when they are not a number.
std::uint16_t numberAfterCom(const std::string& utf8) {
    const std::string name = toCp1251(utf8);
    const std::string digits = name.size() > 3 ? name.substr(3) : std::string();
    return static_cast<std::uint16_t>(parseInt32(fromCp1251(digits)));
}

}  // namespace

ChannelSetup channelSetup(int slot, const ChannelRecord& record, PortPrompt* prompt) {
    ChannelSetup setup;
    setup.slot = slot;
    setup.record = record;
    try {
        setup.comNumber = numberAfterCom(record.ComIn.str());
        if (setup.comNumber == 0 && prompt != nullptr) {
            // No number: the operator chooses the port before the loop is asked to open it.
            if (const std::optional<std::string> choice = prompt->choosePort()) {
                setup.comNumber = numberAfterCom(*choice);
            }
        }
    } catch (const ConvertError& e) {
        setup.comNumber = 0;
        setup.comProblem = e.what();
        return setup;
    }
    if (setup.comNumber == 0) {
        setup.comProblem = NoPortSelectedError().what();
    }
    return setup;
}

LineSettings channelLineSettings(int slot) {
    LineSettings line;
    line.baud = 115200;
    line.inSize = 42;
    line.outSize = 42;
    const int number = slot + 1;
    line.rts = !(number == 8 || number == 9);
    line.rs485 = number == 9;
    return line;
}

class StationLoop::Impl {
  public:
    explicit Impl(StationLoopOptions options)
        : options_(std::move(options)),
          clock_(options_.clock != nullptr ? *options_.clock : systemMsClock()) {
        for (int s = 0; s < kSlots; ++s) {
            channels_[static_cast<std::size_t>(s)] = std::make_unique<Channel>(s);
        }
        thread_ = std::thread([this] { run(); });
    }

    ~Impl() { shutdown(); }

    // Runs fn on the loop's thread and answers its result (or raises its exception). Once the
    // loop has ended, fn runs on the caller's thread: nothing else touches the channels then.
    template <typename Fn>
    auto call(Fn fn) -> decltype(fn()) {
        using R = decltype(fn());
        auto task = std::make_shared<std::packaged_task<R()>>(std::move(fn));
        std::future<R> result = task->get_future();
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(commandsMutex_);
            if (!ended_) {
                commands_.emplace_back([task] { (*task)(); });
                queued = true;
            }
        }
        if (queued) {
            set_.wake();
        } else {
            (*task)();
        }
        return result.get();
    }

    ActivationPass activate(const std::vector<ChannelSetup>& setups) {
        return call([this, &setups] {
            ActivationPass pass;
            for (const ChannelSetup& setup : setups) {
                if (setup.slot < 0 || setup.slot >= kSlots) {
                    continue;
                }
                std::string failure;
                switch (activateOne(setup, &failure)) {
                    case Result::Active:
                        break;
                    case Result::PortFailed:
                        pass.failures.push_back(failure);
                        break;
                    case Result::BindFailed:
                        pass.bindFailed.push_back(setup.slot);
                        break;
                    case Result::PortOutOfRange:
                        pass.portOutOfRange.push_back(setup.slot);
                        break;
                }
            }
            return pass;
        });
    }

    void stopAll() {
        call([this] { stopEverything(); });
    }

    void shutdown() {
        if (!thread_.joinable()) {
            return;
        }
        call([this] {
            exiting_ = true;  // no reply goes out any more
            stopEverything();
            quit_ = true;
        });
        thread_.join();
        std::lock_guard<std::mutex> lock(commandsMutex_);
        ended_ = true;
    }

    ChannelStatus status(int slot) {
        return call([this, slot] {
            const Channel& ch = *channels_.at(static_cast<std::size_t>(slot));
            ChannelStatus st;
            st.active = ch.active;
            st.bindFailed = ch.bindFailed;
            st.portFailed = ch.portFailed;
            st.waiting = ch.protocol.waiting();
            st.timedOut = ch.protocol.timedOut();
            st.holding = ch.held.has_value();
            st.receivePort = ch.endpoint.port();
            st.comNumber = ch.port.isOpen() ? ch.port.number() : 0;
            return st;
        });
    }

    std::vector<StationReport> takeReports() {
        std::lock_guard<std::mutex> lock(reportsMutex_);
        std::vector<StationReport> out;
        out.swap(reports_);
        return out;
    }

  private:
    enum class Result { Active, BindFailed, PortOutOfRange, PortFailed };

    struct Channel {
        explicit Channel(int s) : slot(s), protocol(s + 1) {}
        int slot;
        ChannelProtocol protocol;
        ChannelSetup setup;
        bool active = false;
        ComPort port;
        DatagramEndpoint endpoint;
        bool portFailed = false;
        bool bindFailed = false;
        bool retryPort = false;  // the lost port is tried again each period
        std::optional<std::uint32_t> heartbeatDue;
        std::optional<std::uint32_t> retryDue;  // of the binding, or of the lost port
        bool timeoutArmed = false;
        std::deque<IncomingDatagram> backlog;  // waiting behind the held one
        std::optional<std::uint64_t> held;     // the datagram the protocol has not released
        bool socketFailed = false;             // said once in the log
        bool peerClosed = false;               // the monitoring software's port is closed
        bool backlogFull = false;              // an overflow of the backlog has been said
        std::vector<std::uint8_t> received;
        std::uint32_t lineWrittenMs = 0;          // when the waiting line was written
        std::string heldDigits;                   // the held datagram's digits, for the journal
        std::uint64_t foreignCount = 0;           // strangers' datagrams not yet journalled
        std::optional<std::uint32_t> foreignDue;  // when their row is written
    };

    // ---- The loop ----

    void run() {
        while (!quit_) {
            set_.clear();
            for (auto& ch : channels_) {
                if (ch->active) {
                    ch->port.addWaits(set_);
                    ch->endpoint.addWaits(set_);
                }
            }
            set_.wait(nextTimeout());
            runCommands();
            if (quit_) {
                break;
            }
            for (auto& ch : channels_) {
                if (ch->active) {
                    servicePort(*ch);
                }
            }
            for (auto& ch : channels_) {
                if (ch->active) {
                    receive(*ch);
                }
            }
            for (auto& ch : channels_) {
                if (ch->active) {
                    deadlines(*ch);
                }
            }
        }
    }

    void runCommands() {
        std::deque<std::function<void()>> batch;
        {
            std::lock_guard<std::mutex> lock(commandsMutex_);
            batch.swap(commands_);
        }
        for (auto& command : batch) {
            command();
        }
    }

    std::optional<std::chrono::milliseconds> nextTimeout() const {
        const std::uint32_t now = clock_.nowMs();
        std::optional<std::int32_t> nearest;
        auto consider = [&](const std::optional<std::uint32_t>& due) {
            if (due) {
                const std::int32_t left = std::max<std::int32_t>(msUntil(*due, now), 0);
                nearest = nearest ? std::min(*nearest, left) : left;
            }
        };
        for (const auto& ch : channels_) {
            if (!ch->active) {
                continue;
            }
            if (ch->timeoutArmed) {
                consider(ch->protocol.expiresAtMs());
            }
            consider(ch->heartbeatDue);
            consider(ch->retryDue);
            consider(ch->foreignDue);
        }
        if (!nearest) {
            return std::nullopt;
        }
        return std::chrono::milliseconds(*nearest);
    }

    ChannelProtocol::Moment moment(const Channel& ch) const {
        ChannelProtocol::Moment now;
        now.ms = clock_.nowMs();
        now.outputFree = ch.port.outputFree();
        return now;
    }

    void servicePort(Channel& ch) {
        if (!ch.port.isOpen() || ch.portFailed) {
            return;
        }
        ch.received.clear();
        const bool up = ch.port.service(set_, ch.received);
        takeBytes(ch);
        if (!up) {
            portFailure(ch, ch.port.error(), true);
            return;
        }
        notePeer(ch);
    }

    // The monitoring software closing its port: what waits for it is discarded and nothing is
    // written towards it (its events go unanswered, and their transceivers repeat them) until it
    // opens the port again.
    void notePeer(Channel& ch) {
        const bool present = ch.port.peerPresent();
        if (present != ch.peerClosed) {
            return;
        }
        ch.peerClosed = !present;
        if (ch.peerClosed) {
            ch.port.discardOutput();
            logChannel(ch,
                       "порт программы мониторинга закрыт; строки не передаются до его "
                       "открытия.",
                       EventLogKind::Warning);
        } else {
            logChannel(ch, "порт программы мониторинга открыт.", EventLogKind::Information);
        }
    }

    // Every byte that has arrived meets the protocol before the next input does.
    void readNow(Channel& ch) {
        if (!ch.port.isOpen() || ch.portFailed) {
            return;
        }
        ch.received.clear();
        const bool up = ch.port.readNow(ch.received);
        takeBytes(ch);
        if (!up) {
            portFailure(ch, ch.port.error(), true);
        }
    }

    void takeBytes(Channel& ch) {
        if (!ch.received.empty()) {
            carryOut(ch, ch.protocol.received(ch.received.data(), ch.received.size(), moment(ch)));
            settle(ch);
        }
    }

    void receive(Channel& ch) {
        if (!ch.endpoint.ready(set_)) {
            return;  // nothing came for it: no system call
        }
        try {
            ch.endpoint.receive(kReadBudget, [this, &ch](const Datagram& d) { onDatagram(ch, d); });
            ch.socketFailed = false;
        } catch (const std::exception& e) {
            if (!ch.socketFailed) {
                ch.socketFailed = true;
                logChannel(ch, std::string("ошибка приема (") + e.what() + ").",
                           EventLogKind::Error);
            }
        }
    }

    void onDatagram(Channel& ch, const Datagram& d) {
        const ChannelRecord& record = ch.setup.record;
        // The source check comes first: a stranger's datagram costs one comparison.
        if (record.AddrIP != kAnySource && record.AddrIP != d.peerAddress) {
            if (journal_ != nullptr && ch.foreignCount++ == 0) {
                ch.foreignDue = clock_.nowMs() + kForeignRowPeriodMs;
            }
            return;
        }
        IncomingDatagram in;
        in.id = ++nextId_;
        in.receivedMs = clock_.nowMs();
        in.peer.address = d.peerAddress;
        in.peer.port = d.peerPort;
        in.fromConfiguredSource = true;
        in.kind = classifyDatagram(d.bytes.data(), d.bytes.size());
        if (in.kind == DatagramKind::Event) {
            in.digits = Data2CId(d.bytes.data(), d.bytes.size());
            in.level = CId2Lvl(in.digits);
            const std::string line = CId2SG(in.digits, ch.slot + 1, record.Cnvrt);
            std::copy_n(line.begin(), std::min(line.size(), kLineLength), in.line.begin());
        }
        if (journal_ != nullptr) {
            JournalRow r = row(ch, JournalEvent::Datagram, in);
            r.kind = datagramKindName(in.kind);
            if (in.kind != DatagramKind::Event) {
                r.detail =
                    printableBytes(d.bytes.data(), std::min<std::size_t>(d.bytes.size(), 64));
            }
            journal_->record(std::move(r));
        }
        if (ch.held || !ch.backlog.empty()) {
            // One datagram at a time: this one waits its turn.
            if (ch.backlog.size() < kBacklogLimit) {
                ch.backlog.push_back(std::move(in));
            } else {
                if (journal_ != nullptr) {
                    JournalRow r = row(ch, JournalEvent::Dropped, in);
                    r.outcome = "backlog_full";
                    journal_->record(std::move(r));
                }
                if (!ch.backlogFull) {
                    ch.backlogFull = true;  // said once until the queue has room again
                    logChannel(ch,
                               "очередь событий переполнена; лишние события не передаются, "
                               "передатчик повторит их.");
                }
            }
            return;
        }
        deliver(ch, in);
        settle(ch);
    }

    void deliver(Channel& ch, const IncomingDatagram& in) {
        ch.held = in.id;
        if (journal_ != nullptr) {
            ch.heldDigits = in.digits;
        }
        carryOut(ch, ch.protocol.datagram(in, moment(ch)));
    }

    // After every input: a port that failed under a write is taken out of service, and the
    // datagrams that waited their turn go on while the protocol holds none.
    void settle(Channel& ch) {
        if (ch.port.isOpen() && ch.port.failed() && !ch.portFailed) {
            portFailure(ch, ch.port.error(), true);
        }
        while (ch.active && !ch.held && !ch.backlog.empty()) {
            const IncomingDatagram next = std::move(ch.backlog.front());
            ch.backlog.pop_front();
            deliver(ch, next);
        }
        if (ch.backlog.empty()) {
            ch.backlogFull = false;
        }
    }

    void deadlines(Channel& ch) {
        std::uint32_t now = clock_.nowMs();
        if (ch.foreignDue && msUntil(*ch.foreignDue, now) <= 0) {
            journalForeign(ch);
        }
        if (ch.timeoutArmed) {
            const std::optional<std::uint32_t> expires = ch.protocol.expiresAtMs();
            if (!expires) {
                ch.timeoutArmed = false;
            } else if (msUntil(*expires, now) <= 0) {
                readNow(ch);  // an answer that has arrived wins over the timeout
                if (ch.timeoutArmed) {
                    ch.timeoutArmed = false;
                    // A line never reaches the monitoring software after its window: what has
                    // not gone out by now (its other end closed, or not reading) is discarded.
                    ch.port.discardOutput();
                    carryOut(ch, ch.protocol.timeout(moment(ch)));
                    settle(ch);
                }
            }
        }
        now = clock_.nowMs();
        if (ch.heartbeatDue && msUntil(*ch.heartbeatDue, now) <= 0) {
            ch.heartbeatDue = now + options_.heartbeatMs;
            readNow(ch);
            carryOut(ch, ch.protocol.heartbeat(moment(ch)));
            settle(ch);
        }
        now = clock_.nowMs();
        if (ch.retryDue && msUntil(*ch.retryDue, now) <= 0) {
            ch.retryDue = now + options_.retryMs;
            if (ch.bindFailed) {
                tryRebind(ch);
            } else if (ch.portFailed && ch.retryPort) {
                tryReopen(ch);
            } else {
                ch.retryDue.reset();
            }
        }
    }

    void carryOut(Channel& ch, const ProtocolActions& actions) {
        for (const ProtocolAction& a : actions) {
            switch (a.type) {
                case ProtocolAction::Type::WriteLine:
                    // The protocol made sure of the room: the line goes into the buffer whole.
                    ch.port.write(a.line.data(), a.line.size());
                    ch.lineWrittenMs = clock_.nowMs();
                    if (journal_ != nullptr) {
                        JournalRow r = row(ch, JournalEvent::Line);
                        r.kind = lineKindName(a.lineKind);
                        r.detail = printableBytes(a.line.data(), a.line.size());
                        if (a.lineKind != LineKind::Heartbeat && ch.held) {
                            r.datagram = *ch.held;
                            r.digits = ch.heldDigits;
                        }
                        journal_->record(std::move(r));
                    }
                    break;
                case ProtocolAction::Type::ArmTimeout:
                    ch.timeoutArmed = true;
                    break;
                case ProtocolAction::Type::DisarmTimeout:
                    ch.timeoutArmed = false;
                    break;
                case ProtocolAction::Type::SendOk:
                    if (!exiting_) {
                        const char* outcome = "ok";
                        try {
                            ch.endpoint.send(a.datagram.peer.address, a.datagram.peer.port, "OK");
                        } catch (const std::exception&) {
                            // A reply that cannot be sent is lost like a reply lost on the
                            // network: the transceiver repeats the event.
                            outcome = "send_failed";
                        }
                        if (journal_ != nullptr) {
                            JournalRow r = row(ch, JournalEvent::Reply, a.datagram);
                            r.outcome = outcome;
                            r.latencyMs = clock_.nowMs() - a.datagram.receivedMs;
                            journal_->record(std::move(r));
                        }
                    }
                    break;
                case ProtocolAction::Type::Release:
                    if (ch.held == a.datagram.id) {
                        ch.held.reset();
                    }
                    break;
                case ProtocolAction::Type::Lamp:
                    lamp(ch, a.color);
                    break;
                case ProtocolAction::Type::RestartHeartbeat:
                    if (ch.active) {
                        ch.heartbeatDue = clock_.nowMs() + options_.heartbeatMs;
                    }
                    break;
                case ProtocolAction::Type::LogEvent: {
                    StationReport r;
                    r.type = StationReport::Type::EventEntry;
                    r.slot = ch.slot;
                    r.pair = ch.setup.record.Pair;
                    r.peer = a.datagram.peer.address;
                    r.digits = a.datagram.digits;
                    r.level = a.datagram.level;
                    report(std::move(r));
                    break;
                }
                case ProtocolAction::Type::LogNoRoom:
                    if (ch.peerClosed) {
                        break;  // the closed port is said already
                    }
                    logChannel(ch,
                               "нет места в выходном буфере порта; события не передаются, "
                               "передатчик повторит их.");
                    break;
                case ProtocolAction::Type::Note:
                    journalNote(ch, a);
                    break;
            }
        }
    }

    // ---- The journal ----

    JournalRow row(const Channel& ch, JournalEvent event) const {
        JournalRow r;
        r.utcMs = utcNowMs();
        r.event = event;
        r.channel = ch.slot + 1;
        r.pair = ch.setup.record.Pair;
        return r;
    }

    JournalRow row(const Channel& ch, JournalEvent event, const IncomingDatagram& d) const {
        JournalRow r = row(ch, event);
        r.peer = d.peer.address;
        r.peerPort = d.peer.port;
        r.digits = d.digits;
        r.datagram = d.id;
        return r;
    }

    static const char* datagramKindName(DatagramKind kind) {
        switch (kind) {
            case DatagramKind::Event:
                return "event";
            case DatagramKind::Service:
                return "service";
            case DatagramKind::Malformed:
                break;
        }
        return "malformed";
    }

    void journalNote(const Channel& ch, const ProtocolAction& a) {
        if (journal_ == nullptr) {
            return;
        }
        if (a.note == NoteKind::Dropped) {
            JournalRow r = row(ch, JournalEvent::Dropped, a.datagram);
            r.outcome = dropReasonName(a.dropReason);
            journal_->record(std::move(r));
            return;
        }
        JournalRow r = a.datagram.id != 0 ? row(ch, JournalEvent::Answer, a.datagram)
                                          : row(ch, JournalEvent::Answer);
        r.peer.clear();  // the datagram's row names its source
        r.peerPort = 0;
        r.kind = lineKindName(a.lineKind);
        r.outcome = noteName(a.note);
        r.latencyMs = clock_.nowMs() - ch.lineWrittenMs;
        if (a.note == NoteKind::AnswerRefused || a.note == NoteKind::AnswerOther) {
            r.detail = printableBytes(&a.answerByte, 1);
        }
        journal_->record(std::move(r));
    }

    void dropBacklog(Channel& ch, DropReason reason) {
        if (journal_ != nullptr) {
            for (const IncomingDatagram& d : ch.backlog) {
                JournalRow r = row(ch, JournalEvent::Dropped, d);
                r.outcome = dropReasonName(reason);
                journal_->record(std::move(r));
            }
        }
        ch.backlog.clear();
    }

    // The strangers' datagrams since the last such row, in one row.
    void journalForeign(Channel& ch) {
        ch.foreignDue.reset();
        if (journal_ != nullptr && ch.foreignCount > 0) {
            JournalRow r = row(ch, JournalEvent::Dropped);
            r.outcome = dropReasonName(DropReason::Foreign);
            r.count = static_cast<std::int64_t>(ch.foreignCount);
            journal_->record(std::move(r));
        }
        ch.foreignCount = 0;
    }

    void journalChannel(const Channel& ch, JournalEvent event, std::string detail) {
        if (journal_ != nullptr) {
            JournalRow r = row(ch, event);
            r.detail = std::move(detail);
            journal_->record(std::move(r));
        }
    }

    // ---- Bringing channels up and down ----

    Result activateOne(const ChannelSetup& setup, std::string* failure) {
        Channel& ch = *channels_[static_cast<std::size_t>(setup.slot)];
        if (ch.active) {
            stopChannel(ch);
        }
        ch.setup = setup;
        ch.active = true;
        if (boundPort(ch) == 0) {
            // Port 0 would bind a port the system picks, which no transceiver sends to; waiting
            // does not make it right.
            markBindFailed(ch, false);
            return Result::PortOutOfRange;
        }
        if (!bind(ch)) {
            markBindFailed(ch, true);  // a port held by another socket may be released any time
            return Result::BindFailed;
        }
        return finishActivation(ch, failure);
    }

    static std::uint16_t boundPort(const Channel& ch) {
        return static_cast<std::uint16_t>(ch.setup.record.Port & 0xFFFFu);
    }

    bool bind(Channel& ch) {
        const ChannelRecord& record = ch.setup.record;
        std::optional<std::string> only;
        if (record.AddrIP != kAnySource) {
            only = record.AddrIP.str();
        }
        try {
            ch.endpoint.open(boundPort(ch), only);
        } catch (const std::exception&) {
            ch.endpoint.close();
            return false;
        }
        return true;
    }

    Result finishActivation(Channel& ch, std::string* failure) {
        std::string problem;
        bool retry = true;
        if (ch.setup.comNumber == 0) {
            // A ComIn without a number, or the port selection cancelled: no retry every period.
            problem =
                ch.setup.comProblem.empty() ? NoPortSelectedError().what() : ch.setup.comProblem;
            retry = false;
        } else {
            problem = openPort(ch);
        }
        setLampVisible(ch, true);
        ch.heartbeatDue = clock_.nowMs() + options_.heartbeatMs;
        if (problem.empty()) {
            return Result::Active;
        }
        const std::string message = ch.setup.record.ComIn.str() + ": " + problem;
        portFailure(ch, message, retry);
        if (failure != nullptr) {
            *failure = message;
        }
        return Result::PortFailed;
    }

    // Opens the channel's COM port: empty, or the failure's text.
    std::string openPort(Channel& ch) {
        try {
            ch.port.open(ch.setup.comNumber, channelLineSettings(ch.slot), options_.devices);
        } catch (const std::exception& e) {
            ch.port.close();
            return e.what();
        }
        log("Открыт порт №" + std::to_string(ch.port.number()));
        ch.peerClosed = false;
        return {};
    }

    void markBindFailed(Channel& ch, bool retry) {
        ch.bindFailed = true;
        journalChannel(ch, JournalEvent::BindFailed,
                       "port " + std::to_string(ch.setup.record.Port) +
                           (retry ? " held elsewhere" : " out of range"));
        setLampVisible(ch, true);
        lamp(ch, LampColor::Red);
        logChannel(
            ch,
            "порт приема " + std::to_string(ch.setup.record.Port) +
                (retry ? " занят. Повторная попытка каждые " + retryPeriodSecondsText() + " секунд."
                       : " вне диапазона 1..65535."),
            EventLogKind::Error);
        if (retry) {
            ch.retryDue = clock_.nowMs() + options_.retryMs;
        } else {
            ch.retryDue.reset();
        }
    }

    void tryRebind(Channel& ch) {
        if (!bind(ch)) {
            return;  // still held; the next period tries again
        }
        ch.bindFailed = false;
        ch.retryDue.reset();
        journalChannel(ch, JournalEvent::BindBack, "port " + std::to_string(boundPort(ch)));
        logChannel(ch,
                   "порт приема " + std::to_string(boundPort(ch)) + " свободен, канал принимает.",
                   EventLogKind::Information);
        finishActivation(ch, nullptr);  // a port that cannot be opened is retried on its own
    }

    void portFailure(Channel& ch, const std::string& message, bool retry) {
        const bool already = ch.portFailed;
        ch.portFailed = true;
        ch.port.close();  // the device is released at once; the retries open it afresh
        lamp(ch, LampColor::Red);
        if (!already) {
            journalChannel(ch, JournalEvent::PortLost, message);
            carryOut(ch, ch.protocol.portLost());
            ch.timeoutArmed = false;
            dropBacklog(ch, DropReason::PortLost);  // their transceivers repeat them
            logChannel(ch,
                       "порт недоступен (" + message + "). Повторное открытие каждые " +
                           retryPeriodSecondsText() + " секунд.",
                       EventLogKind::Error);
        }
        ch.retryPort = retry;
        if (!retry) {
            ch.retryDue.reset();
        } else if (!ch.retryDue) {
            ch.retryDue = clock_.nowMs() + options_.retryMs;
        }
    }

    void tryReopen(Channel& ch) {
        if (!openPort(ch).empty()) {
            return;  // still gone; the next period tries again
        }
        ch.portFailed = false;
        ch.retryDue.reset();
        journalChannel(ch, JournalEvent::PortBack, "COM" + std::to_string(ch.port.number()));
        carryOut(ch, ch.protocol.portBack());
        logChannel(ch, "порт №" + std::to_string(ch.port.number()) + " снова доступен.",
                   EventLogKind::Information);
    }

    void stopChannel(Channel& ch) {
        journalForeign(ch);
        carryOut(ch, ch.protocol.stop());
        ch.held.reset();
        dropBacklog(ch, DropReason::Stopped);
        ch.endpoint.close();
        ch.heartbeatDue.reset();
        ch.retryDue.reset();
        ch.timeoutArmed = false;
        ch.portFailed = false;
        ch.bindFailed = false;
        ch.peerClosed = false;
        ch.port.close();
        ch.active = false;
        setLampVisible(ch, false);
    }

    void stopEverything() {
        // Every wait ends first; then nothing receives, beats or retries; then the ports close.
        for (auto& ch : channels_) {
            carryOut(*ch, ch->protocol.stop());
        }
        for (auto& ch : channels_) {
            stopChannel(*ch);
        }
    }

    // ---- Reports ----

    void report(StationReport r) {
        bool first = false;
        {
            std::lock_guard<std::mutex> lock(reportsMutex_);
            first = reports_.empty();
            reports_.push_back(std::move(r));
        }
        if (first && options_.reportsWaiting) {
            options_.reportsWaiting();
        }
    }

    void lamp(Channel& ch, LampColor color) {
        StationReport r;
        r.type = StationReport::Type::Lamp;
        r.slot = ch.slot;
        r.color = color;
        report(std::move(r));
    }

    void setLampVisible(Channel& ch, bool visible) {
        StationReport r;
        r.type = StationReport::Type::LampVisible;
        r.slot = ch.slot;
        r.visible = visible;
        report(std::move(r));
    }

    void log(std::string text, std::optional<EventLogKind> systemLog = std::nullopt) {
        StationReport r;
        r.type = StationReport::Type::LogLine;
        r.text = std::move(text);
        r.systemLog = systemLog;
        report(std::move(r));
    }

    void logChannel(const Channel& ch, const std::string& text,
                    std::optional<EventLogKind> systemLog = std::nullopt) {
        log("Канал №" + std::to_string(ch.setup.record.Pair) + ": " + text, systemLog);
    }

    StationLoopOptions options_;
    const MsClock& clock_;
    JournalSink* const journal_ = options_.journal;
    std::array<std::unique_ptr<Channel>, kSlots> channels_;
    WaitSet set_;
    std::uint64_t nextId_ = 0;
    bool exiting_ = false;
    bool quit_ = false;

    std::mutex commandsMutex_;
    std::deque<std::function<void()>> commands_;
    bool ended_ = false;

    std::mutex reportsMutex_;
    std::vector<StationReport> reports_;

    std::thread thread_;  // last: starts when everything else is in place
};

StationLoop::StationLoop(StationLoopOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

StationLoop::~StationLoop() = default;

ActivationPass StationLoop::activate(const std::vector<ChannelSetup>& channels) {
    return impl_->activate(channels);
}

void StationLoop::stopAll() {
    impl_->stopAll();
}

void StationLoop::shutdown() {
    impl_->shutdown();
}

ChannelStatus StationLoop::status(int slot) {
    return impl_->status(slot);
}

std::vector<StationReport> StationLoop::takeReports() {
    return impl_->takeReports();
}

}  // namespace lan2com
