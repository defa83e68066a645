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

ChannelRuntime::Result ChannelRuntime::ActivateChannel(int s, const std::string& localAddress,
                                                       std::string* failure) {
    const TPair& pair = services_.state.table[s];
    TIdUDPServer& udp = sUDP(s);
    udp.SetActive(false);
    udp.ClearBindings();
    try {
        const auto port = static_cast<std::uint16_t>(pair.Port & 0xFFFFu);
        udp.DefaultPort = port;
        TIdSocketHandle& binding = udp.Binding();
        binding.IP = localAddress;
        binding.Port = port;
    } catch (...) {
        return Result::BindFailed;
    }

    std::string problem;
    bool retry = true;
    try {
        openPort(s);
    } catch (const EConvertError& e) {
        problem = e.what();
        retry = false;  // a ComIn without a number cannot come right by waiting
    } catch (const std::exception& e) {
        problem = e.what();
    }

    udp.SetActive(true);
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
                result.bindFailedSlot = s;
                return result;
        }
    }
    return result;
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
        return;
    }
    if (!reopenTimers_[i] && services_.makeTimer) {
        reopenTimers_[i] = services_.makeTimer(services_.reopenPeriodMs);
        reopenTimers_[i]->OnTimer = [this, s] { tryReopen(s); };
    }
    if (reopenTimers_[i]) {
        reopenTimers_[i]->SetEnabled(true);
    }
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
        failed_[i] = false;
    }
    for (int s = 0; s < kSlots; ++s) {
        com(s).SetOpen(false);
        services_.view.setLampVisible(s, false);
    }
}

}  // namespace lan2com
