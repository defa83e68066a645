#include "channels/channel_runtime.h"

#include <exception>
#include <utility>

#include "platform/convert.h"

namespace lan2com {

ChannelRuntime::ChannelRuntime(RuntimeServices services) : services_(std::move(services)) {
    for (int s = 0; s < kSlots; ++s) {
        const auto i = static_cast<std::size_t>(s);
        endpoints_[i] = std::make_unique<TIdUDPServer>(services_.handover, kDefaultUdpPorts[i]);
        endpoints_[i]->BufferSize = 16;

        SerialServices serial{services_.handover, services_.errors, services_.clock,
                              services_.prompt};
        ports_[i] = std::make_unique<TApdComPort>(serial, static_cast<std::uint16_t>(s + 1));
        TApdComPort& port = *ports_[i];
        port.Baud = 115200;
        port.InSize = 42;
        port.OutSize = 42;
        port.AutoOpen = false;
        // com8 and com9 keep RTS off; com9 drives an RS-485 line.
        port.RTS = !(s + 1 == 8 || s + 1 == 9);
        port.RS485Mode = s + 1 == 9;
        wire(s);
    }
}

ChannelRuntime::~ChannelRuntime() {
    // The window's timers outlive nothing of ours: stop calling into the relay first.
    events_ = nullptr;
    for (int s = 0; s < kSlots; ++s) {
        if (HeartbeatTimer* timer = services_.heartbeat[static_cast<std::size_t>(s)]) {
            timer->OnTimer = nullptr;
        }
    }
    for (auto& endpoint : endpoints_) {
        endpoint->SetActive(false);
    }
    for (auto& port : ports_) {
        port->SetOpen(false);
    }
}

void ChannelRuntime::wire(int s) {
    TIdUDPServer& udp = sUDP(s);
    udp.OnUDPRead = [this, s](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                              TIdSocketHandle& binding) {
        if (events_ != nullptr) {
            events_->onDatagram(s, data, binding);
        }
    };
    TApdComPort& port = com(s);
    port.OnPortOpen = [this](TApdComPort& p) {
        if (events_ != nullptr) {
            events_->onPortOpened(p);
        }
    };
    port.OnTriggerAvail = [this, s](TApdComPort&, std::uint16_t count) {
        if (events_ != nullptr) {
            events_->onDataAvailable(s, count);
        }
    };
    port.OnTriggerTimer = [this, s](TApdComPort&, std::uint16_t handle) {
        if (events_ != nullptr) {
            events_->onTriggerTimer(s, handle);
        }
    };
    port.OnPortError = [this, s](TApdComPort&, const std::string& message) {
        markFailed(s, message, true);
    };
    if (HeartbeatTimer* timer = services_.heartbeat[static_cast<std::size_t>(s)]) {
        timer->OnTimer = [this, s] {
            if (events_ != nullptr) {
                events_->onHeartbeat(s);
            }
        };
    }
}

void ChannelRuntime::openPort(int s) {
    // The port number is what follows the first three characters of ComIn (COM12 gives 12).
    const std::string name = toCp1251(services_.state.table[s].ComIn.str());
    const std::string digits = name.size() > 3 ? name.substr(3) : std::string();
    const std::int32_t number = StrToInt(fromCp1251(digits));
    TApdComPort& port = com(s);
    port.SetComNumber(static_cast<std::uint16_t>(number));
    port.SetOpen(true);
    const std::uint16_t handle = port.AddTimerTrigger();
    services_.state.ArTm[static_cast<std::size_t>(s)] = handle;
    port.SetTimerTrigger(handle, 5, false);
}

bool ChannelRuntime::bind(int s) {
    const auto port = boundPort(services_.state.table[s].Port);
    TIdUDPServer& udp = sUDP(s);
    udp.SetActive(false);
    udp.ClearBindings();
    if (port == 0) {
        return false;
    }
    try {
        udp.DefaultPort = port;
        TIdSocketHandle& binding = udp.Binding();
        binding.IP = localAddress_[static_cast<std::size_t>(s)];
        binding.Port = port;
    } catch (...) {
        udp.SetActive(false);
        udp.ClearBindings();
        return false;
    }
    return true;
}

ChannelRuntime::Result ChannelRuntime::ActivateChannel(int s, const std::string& localAddress,
                                                       std::string* failure) {
    const auto i = static_cast<std::size_t>(s);
    localAddress_[i] = localAddress;
    // A new activation ends whatever an earlier one of this slot was waiting for.
    bindFailed_[i] = false;
    if (rebindTimers_[i]) {
        rebindTimers_[i]->SetEnabled(false);
    }
    if (!bind(s)) {
        // Port 0 would bind a port the system picks, which no transceiver sends to; waiting does
        // not make it right. A port held by another socket may be released at any moment.
        const bool usable = boundPort(services_.state.table[s].Port) != 0;
        markBindFailed(s, usable);
        return usable ? Result::BindFailed : Result::PortOutOfRange;
    }
    return finishActivation(s, failure);
}

ChannelRuntime::Result ChannelRuntime::finishActivation(int s, std::string* failure) {
    const TPair& pair = services_.state.table[s];
    std::string problem;
    bool retry = true;
    try {
        openPort(s);
    } catch (const EConvertError& e) {
        problem = e.what();
        retry = false;  // a ComIn without a number cannot come right by waiting
    } catch (const ENoPortSelected& e) {
        problem = e.what();
        retry = false;  // the operator cancelled the port selection: no dialog every period
    } catch (const std::exception& e) {
        problem = e.what();
    }

    sUDP(s).SetActive(true);
    services_.view.setLampVisible(s, true);
    tm(s).SetEnabled(true);

    if (problem.empty()) {
        return Result::Active;
    }
    const std::string message = pair.ComIn.str() + ": " + problem;
    markFailed(s, message, retry);
    if (failure != nullptr) {
        *failure = message;
    }
    return Result::PortFailed;
}

ChannelRuntime::PassResult ChannelRuntime::ActivateAll(const std::string& localAddress) {
    PassResult result;
    for (int s = 0; s < kSlots; ++s) {
        if (services_.state.table[s].isEmpty()) {
            continue;
        }
        std::string failure;
        switch (ActivateChannel(s, localAddress, &failure)) {
            case Result::Active:
                break;
            case Result::PortFailed:
                result.failures.push_back(failure);
                break;
            case Result::BindFailed:
                result.bindFailed.push_back(s);
                break;
            case Result::PortOutOfRange:
                result.portOutOfRange.push_back(s);
                break;
        }
    }
    return result;
}

void ChannelRuntime::enableTimer(std::unique_ptr<HeartbeatTimer>& timer,
                                 std::function<void()> onTimer) {
    if (!timer && services_.makeTimer) {
        timer = services_.makeTimer(services_.reopenPeriodMs);
        timer->OnTimer = std::move(onTimer);
    }
    // Every failure starts the retries again, not only the first one: a port lost a second time
    // must come back as the first time.
    if (timer) {
        timer->SetEnabled(true);
    }
}

void ChannelRuntime::markBindFailed(int s, bool retry) {
    const auto i = static_cast<std::size_t>(s);
    bindFailed_[i] = true;
    services_.view.setLampVisible(s, true);
    services_.view.setLampColor(s, LampColor::Red);
    const TPair& pair = services_.state.table[s];
    services_.view.appendLogLine(
        services_.view.timestamp() + "  Канал №" + std::to_string(pair.Pair) + ": порт приема " +
        std::to_string(pair.Port) +
        (retry ? " занят. Повторная попытка каждые 5 секунд." : " вне диапазона 1..65535."));
    if (retry) {
        enableTimer(rebindTimers_[i], [this, s] { tryRebind(s); });
    }
}

void ChannelRuntime::tryRebind(int s) {
    const auto i = static_cast<std::size_t>(s);
    if (!bindFailed_[i]) {
        return;
    }
    if (!bind(s)) {
        return;  // still held; the next period tries again
    }
    bindFailed_[i] = false;
    if (rebindTimers_[i]) {
        rebindTimers_[i]->SetEnabled(false);
    }
    services_.view.appendLogLine(services_.view.timestamp() + "  Канал №" +
                                 std::to_string(services_.state.table[s].Pair) + ": порт приема " +
                                 std::to_string(boundPort(services_.state.table[s].Port)) +
                                 " свободен, канал принимает.");
    finishActivation(s, nullptr);  // a port that cannot be opened is retried on its own
}

void ChannelRuntime::markFailed(int s, const std::string& message, bool retry) {
    const auto i = static_cast<std::size_t>(s);
    const bool already = failed_[i];
    failed_[i] = true;
    services_.view.setLampColor(s, LampColor::Red);
    if (events_ != nullptr && !already) {
        events_->onPortFailed(s, message);
    }
    if (!retry) {
        if (reopenTimers_[i]) {
            reopenTimers_[i]->SetEnabled(false);
        }
        return;
    }
    enableTimer(reopenTimers_[i], [this, s] { tryReopen(s); });
}

void ChannelRuntime::tryReopen(int s) {
    const auto i = static_cast<std::size_t>(s);
    if (!failed_[i]) {
        return;
    }
    TApdComPort& port = com(s);
    try {
        port.SetOpen(false);
        port.SetOpen(true);
        const std::uint16_t handle = port.AddTimerTrigger();
        services_.state.ArTm[i] = handle;
        port.SetTimerTrigger(handle, 5, false);
    } catch (const ENoPortSelected&) {
        // The port selection dialog was cancelled: it is not shown again until the next apply.
        port.SetOpen(false);
        if (reopenTimers_[i]) {
            reopenTimers_[i]->SetEnabled(false);
        }
        return;
    } catch (const std::exception&) {
        port.SetOpen(false);
        return;  // still gone; the next period tries again
    }
    failed_[i] = false;
    if (reopenTimers_[i]) {
        reopenTimers_[i]->SetEnabled(false);
    }
    if (events_ != nullptr) {
        events_->onPortRecovered(s);
    }
}

void ChannelRuntime::StopAll() {
    for (int s = 0; s < kSlots; ++s) {
        if (events_ != nullptr) {
            events_->onChannelStopped(s);
        }
    }
    for (int s = 0; s < kSlots; ++s) {
        const auto i = static_cast<std::size_t>(s);
        sUDP(s).SetActive(false);
        tm(s).SetEnabled(false);
        if (reopenTimers_[i]) {
            reopenTimers_[i]->SetEnabled(false);
        }
        if (rebindTimers_[i]) {
            rebindTimers_[i]->SetEnabled(false);
        }
        failed_[i] = false;
        bindFailed_[i] = false;
    }
    for (int s = 0; s < kSlots; ++s) {
        com(s).SetOpen(false);
        services_.view.setLampVisible(s, false);
    }
}

}  // namespace lan2com
