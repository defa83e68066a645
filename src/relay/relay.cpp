#include "relay/relay.h"

#include <exception>
#include <utility>

#include "relay/conversion.h"

namespace lan2com {
namespace {

constexpr const char* kLimitMessage =
    "  Превышено допустимое число записей. Запись диагностики отключена. Для возобновления записи "
    "необходимо выполнить очистку окна \"Диагностика\" приложения.";

}  // namespace

Relay::Relay(SharedState& state, RelayView& view, ChannelRuntime& runtime)
    : state_(state), view_(view), runtime_(runtime) {}

void Relay::writeLine(TApdComPort& port, const std::uint8_t* bytes) {
    for (int i = 0; i < 21; ++i) {
        port.PutChar(bytes[i]);
    }
}

void Relay::onDatagram(int s, const std::vector<std::uint8_t>& data, TIdSocketHandle& binding) {
    const auto i = static_cast<std::size_t>(s);
    const int k = s + 1;
    const std::string peer = binding.PeerIP;
    const std::uint16_t peerPort = binding.PeerPort;
    const std::string mCId = Data2CId(data.data(), data.size());
    const TPair& record = state_.table[s];

    // Only the configured transceiver, unless the channel accepts every source.
    if (!(record.AddrIP == peer || record.AddrIP == kAnySource)) {
        return;
    }
    // A 16-byte datagram with a byte above 15 would shift every digit of the line, and a datagram
    // of another length would write 21 zero bytes; neither may reach the monitoring software.
    const DatagramKind kind = classifyDatagram(data.data(), data.size());
    if (kind == DatagramKind::Malformed) {
        return;
    }
    // No line can reach a lost port: without a reply the transceiver sends the event again, and
    // the port is reopened as soon as it is back.
    if (runtime_.portFailed(s)) {
        return;
    }
    // Channels 5 to 16 drop everything while timed out, until the next acknowledgement byte.
    if (k >= 5 && state_.recDC4[i] == kAckTimedOut) {
        return;
    }

    const bool service = kind == DatagramKind::Service;
    std::string level;
    std::string mSG;
    if (!service) {
        level = CId2Lvl(mCId);
        mSG = CId2SG(mCId, k, state_.table).substr(0, 21);
    }

    if (pending_[i]) {
        dropPending(s);  // cannot happen while the endpoint waits for it; never leave one behind
    }
    // A heartbeat line written shortly before this line and not acknowledged yet: the next 0x06
    // answers that heartbeat, not this line.
    const bool heartbeatAhead =
        heartbeatSentAt_[i] &&
        runtime_.clock().nowMs() - *heartbeatSentAt_[i] <= kHeartbeatAnswerMs;
    heartbeatSentAt_[i].reset();
    state_.recDC4[i] = kAckWaiting;
    TApdComPort& port = runtime_.com(s);
    port.SetTimerTrigger(state_.ArTm[i], 5, true);

    if (service) {
        view_.setLampColor(s, LampColor::Yellow);
        writeLine(port, H_Bit.data());
    } else {
        HeartbeatTimer& timer = runtime_.tm(s);
        timer.SetEnabled(false);
        view_.setLampColor(s, LampColor::Teal);
        writeLine(port, reinterpret_cast<const std::uint8_t*>(mSG.data()));
        timer.SetEnabled(true);  // a fresh 29-second period

        const std::string filter = view_.accountFilter();
        if ((filter.empty() || filter == mCId.substr(0, 4)) && view_.diagnosticsChecked()) {
            DiagEntry(record.Pair, peer, mCId, level);
        }
    }

    if (state_.AppExit) {
        return;  // leaving: no reply
    }
    Pending pending;
    pending.peerIP = peer;
    pending.peerPort = peerPort;
    pending.service = service;
    pending.heartbeatAhead = heartbeatAhead;
    pending.completion = runtime_.sUDP(s).DeferCompletion();
    pending_[i] = std::move(pending);
}

void Relay::completePending(int s) {
    const auto i = static_cast<std::size_t>(s);
    if (!pending_[i] || state_.recDC4[i] == kAckWaiting) {
        return;
    }
    Pending pending = std::move(*pending_[i]);
    pending_[i].reset();
    if (!pending.service && state_.recDC4[i] == kAckAcknowledged && !state_.AppExit) {
        try {
            runtime_.sUDP(s).Send(pending.peerIP, pending.peerPort, "OK");
        } catch (const std::exception&) {
            // A reply that cannot be sent is lost like a reply lost on the network: the
            // transceiver repeats the event.
        }
    }
    if (pending.completion) {
        pending.completion->finish();
    }
}

void Relay::dropPending(int s) {
    const auto i = static_cast<std::size_t>(s);
    if (!pending_[i]) {
        return;
    }
    Pending pending = std::move(*pending_[i]);
    pending_[i].reset();
    if (pending.completion) {
        pending.completion->finish();
    }
}

void Relay::onDataAvailable(int s, std::uint16_t /*count*/) {
    const auto i = static_cast<std::size_t>(s);
    TApdComPort& port = runtime_.com(s);
    const std::uint8_t byte = port.GetChar();  // one byte per notification
    if (byte != kAck) {
        return;
    }
    heartbeatSentAt_[i].reset();
    if (pending_[i] && pending_[i]->heartbeatAhead) {
        // The monitoring software confirms the heartbeat it was sent first; the waiting line
        // gets its own confirmation, or times out and stays unanswered.
        pending_[i]->heartbeatAhead = false;
        return;
    }
    state_.recDC4[i] = kAckAcknowledged;
    completePending(s);  // the reply first: the rest keeps the transceiver waiting for nothing
    view_.setLampColor(s, LampColor::Lime);
    // No timer event of this port can come before this handler has returned.
    port.SetTimerTrigger(state_.ArTm[i], 5, false);
}

void Relay::onTriggerTimer(int s, std::uint16_t /*handle*/) {
    state_.recDC4[static_cast<std::size_t>(s)] = kAckTimedOut;
    view_.setLampColor(s, LampColor::Red);
    completePending(s);
}

void Relay::onHeartbeat(int s) {
    HeartbeatTimer& timer = runtime_.tm(s);
    // A port out of service gets no heartbeat; it is being reopened.
    if (!runtime_.portFailed(s)) {
        TApdComPort& port = runtime_.com(s);
        if (port.OutBuffFree() > 21) {
            writeLine(port, H_Bit.data());
            heartbeatSentAt_[static_cast<std::size_t>(s)] = runtime_.clock().nowMs();
        }
    }
    timer.SetEnabled(true);
}

void Relay::onPortOpened(TApdComPort& port) {
    view_.appendLogLine(view_.timestamp() + "  Открыт порт №" + std::to_string(port.ComNumber()));
}

void Relay::onPortFailed(int s, const std::string& message) {
    state_.recDC4[static_cast<std::size_t>(s)] = kAckTimedOut;
    dropPending(s);
    view_.appendLogLine(view_.timestamp() + "  Канал " + std::to_string(s + 1) +
                        ": порт недоступен (" + message + "). Повторное открытие каждые 5 секунд.");
}

void Relay::onPortRecovered(int s) {
    view_.appendLogLine(view_.timestamp() + "  Канал " + std::to_string(s + 1) + ": порт №" +
                        std::to_string(runtime_.com(s).ComNumber()) + " снова доступен.");
}

void Relay::onChannelStopped(int s) {
    const auto i = static_cast<std::size_t>(s);
    if (!pending_[i]) {
        return;
    }
    // The channel's timeout must not fire into a configuration that no longer waits for it.
    try {
        TApdComPort& port = runtime_.com(s);
        if (port.State() == PortState::psOpen) {
            port.SetTimerTrigger(state_.ArTm[i], 5, false);
        }
    } catch (const std::exception&) {
    }
    dropPending(s);
}

void Relay::endAllPending() {
    for (int s = 0; s < kSlots; ++s) {
        dropPending(s);
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
