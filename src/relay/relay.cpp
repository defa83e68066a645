#include "relay/relay.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "relay/conversion.h"

namespace lan2com {
namespace {

constexpr const char* kLimitMessage =
    "  Превышено допустимое число записей. Запись диагностики отключена. Для возобновления записи "
    "необходимо выполнить очистку окна \"Диагностика\" приложения.";

template <std::size_t... I>
std::array<ChannelProtocol, sizeof...(I)> makeProtocols(std::index_sequence<I...>) {
    return {ChannelProtocol(static_cast<int>(I) + 1)...};
}

}  // namespace

Relay::Relay(SharedState& state, RelayView& view, ChannelRuntime& runtime)
    : state_(state),
      view_(view),
      runtime_(runtime),
      protocols_(makeProtocols(std::make_index_sequence<kSlots>())) {}

ChannelProtocol::Moment Relay::moment(int s) {
    ChannelProtocol::Moment now;
    now.ms = runtime_.clock().nowMs();
    now.outputFree = runtime_.com(s).OutBuffFree();
    return now;
}

void Relay::readPending(int s) {
    TApdComPort& port = runtime_.com(s);
    std::vector<std::uint8_t> bytes;
    try {
        for (std::size_t n = port.UnreadCount(); n > 0; n = port.UnreadCount()) {
            bytes.push_back(port.GetChar());
        }
    } catch (const EAPDException&) {
        // A port that is not open has nothing to read.
    }
    if (!bytes.empty()) {
        carryOut(s, protocols_[static_cast<std::size_t>(s)].received(bytes.data(), bytes.size(),
                                                                     moment(s)));
    }
}

void Relay::onDatagram(int s, const std::vector<std::uint8_t>& data, TIdSocketHandle& binding) {
    const auto i = static_cast<std::size_t>(s);
    const TPair& record = state_.table[s];

    IncomingDatagram d;
    d.id = ++nextId_;
    d.peer.address = binding.PeerIP;
    d.peer.port = binding.PeerPort;
    d.fromConfiguredSource = record.AddrIP == d.peer.address || record.AddrIP == kAnySource;
    d.kind = classifyDatagram(data.data(), data.size());
    if (d.fromConfiguredSource && d.kind == DatagramKind::Event) {
        d.digits = Data2CId(data.data(), data.size());
        d.level = CId2Lvl(d.digits);
        const std::string line = CId2SG(d.digits, s + 1, state_.table);
        std::copy_n(line.begin(), std::min(line.size(), kLineLength), d.line.begin());
    }

    readPending(s);
    const ProtocolActions actions = protocols_[i].datagram(d, moment(s));
    bool released = false;
    for (const ProtocolAction& a : actions) {
        released = released || (a.type == ProtocolAction::Type::Release && a.datagram.id == d.id);
    }
    if (!released) {
        // The endpoint holds its next datagram back until this one is released.
        completions_[i][d.id] = runtime_.sUDP(s).DeferCompletion();
    }
    carryOut(s, actions);
}

void Relay::onDataAvailable(int s, std::uint16_t /*count*/) {
    // Every byte waiting, in order: a burst of noise or surplus answers cannot shift what later
    // bytes are taken to answer.
    readPending(s);
}

void Relay::onTriggerTimer(int s, std::uint16_t /*handle*/) {
    readPending(s);  // an answer that has arrived wins over the timeout
    carryOut(s, protocols_[static_cast<std::size_t>(s)].timeout(moment(s)));
}

void Relay::onHeartbeat(int s) {
    readPending(s);
    carryOut(s, protocols_[static_cast<std::size_t>(s)].heartbeat(moment(s)));
}

void Relay::onPortOpened(TApdComPort& port) {
    view_.appendLogLine(view_.timestamp() + "  Открыт порт №" + std::to_string(port.ComNumber()));
}

void Relay::logPortLine(int s, const std::string& text) {
    view_.appendLogLine(view_.timestamp() + "  Канал №" + std::to_string(state_.table[s].Pair) +
                        ": " + text);
}

void Relay::onPortFailed(int s, const std::string& message) {
    carryOut(s, protocols_[static_cast<std::size_t>(s)].portLost());
    logPortLine(s, "порт недоступен (" + message + "). Повторное открытие каждые 5 секунд.");
}

void Relay::onPortRecovered(int s) {
    carryOut(s, protocols_[static_cast<std::size_t>(s)].portBack());
    logPortLine(s, "порт №" + std::to_string(runtime_.com(s).ComNumber()) + " снова доступен.");
}

void Relay::onChannelStopped(int s) {
    carryOut(s, protocols_[static_cast<std::size_t>(s)].stop());
}

void Relay::endAllPending() {
    for (int s = 0; s < kSlots; ++s) {
        onChannelStopped(s);
    }
}

void Relay::release(int s, std::uint64_t id) {
    auto& held = completions_[static_cast<std::size_t>(s)];
    const auto it = held.find(id);
    if (it == held.end()) {
        return;  // released before it was ever held back
    }
    const std::shared_ptr<DatagramCompletion> completion = it->second;
    held.erase(it);
    if (completion) {
        completion->finish();
    }
}

void Relay::carryOut(int s, const ProtocolActions& actions) {
    const auto i = static_cast<std::size_t>(s);
    TApdComPort& port = runtime_.com(s);
    for (const ProtocolAction& a : actions) {
        switch (a.type) {
            case ProtocolAction::Type::WriteLine:
                // The protocol made sure of the room: the line goes into the buffer whole.
                for (const std::uint8_t byte : a.line) {
                    port.PutChar(byte);
                }
                break;
            case ProtocolAction::Type::ArmTimeout:
                port.SetTimerTrigger(state_.ArTm[i], static_cast<std::int32_t>(kAckTimeoutTicks),
                                     true);
                break;
            case ProtocolAction::Type::DisarmTimeout:
                if (port.State() == PortState::psOpen) {
                    port.SetTimerTrigger(state_.ArTm[i],
                                         static_cast<std::int32_t>(kAckTimeoutTicks), false);
                }
                break;
            case ProtocolAction::Type::SendOk:
                if (!state_.AppExit) {
                    try {
                        runtime_.sUDP(s).Send(a.datagram.peer.address, a.datagram.peer.port, "OK");
                    } catch (const std::exception&) {
                        // A reply that cannot be sent is lost like a reply lost on the network:
                        // the transceiver repeats the event.
                    }
                }
                break;
            case ProtocolAction::Type::Release:
                release(s, a.datagram.id);
                break;
            case ProtocolAction::Type::Lamp:
                view_.setLampColor(s, a.color);
                break;
            case ProtocolAction::Type::RestartHeartbeat: {
                HeartbeatTimer& timer = runtime_.tm(s);
                timer.SetEnabled(false);
                timer.SetEnabled(true);
                break;
            }
            case ProtocolAction::Type::LogEvent: {
                const std::string filter = view_.accountFilter();
                if ((filter.empty() || filter == a.datagram.digits.substr(0, 4)) &&
                    view_.diagnosticsChecked()) {
                    DiagEntry(state_.table[s].Pair, a.datagram.peer.address, a.datagram.digits,
                              a.datagram.level);
                }
                break;
            }
            case ProtocolAction::Type::LogNoRoom:
                logPortLine(s,
                            "нет места в выходном буфере порта; события не передаются, "
                            "передатчик повторит их.");
                break;
        }
    }
}

void Relay::DiagEntry(std::uint8_t pair, const std::string& peer, const std::string& cid,
                      const std::string& level) {
    view_.appendLogLine(view_.timestamp() + "  Канал №" + std::to_string(pair) + "  " + peer);
    const std::string digits =
        cid.substr(0, 4) + (cid.size() > 6 ? cid.substr(6, 9) : std::string());
    view_.appendLogLine(digits + "   " + level);
    state_.n = view_.logLineCount();
    view_.setRecordCount(std::to_string(state_.n / 2));
    if (state_.n > kLogLimit) {
        view_.setDiagnosticsChecked(false);
        view_.appendLogLine(view_.timestamp() + kLimitMessage);
    }
}

void Relay::clearDiagnostics() {
    view_.clearLog();
    view_.setRecordCount("0");
}

}  // namespace lan2com
