#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "net/udp_server.h"
#include "channels/station_view.h"
#include "serial/apd_com_port.h"

namespace lan2com {

// What happens on a channel, for the relay. Every call runs on the main thread.
class ChannelEvents {
  public:
    virtual ~ChannelEvents() = default;
    virtual void onDatagram(int slot, const std::vector<std::uint8_t>& data,
                            TIdSocketHandle& binding) = 0;
    virtual void onDataAvailable(int slot, std::uint16_t count) = 0;
    virtual void onTriggerTimer(int slot, std::uint16_t handle) = 0;
    virtual void onHeartbeat(int slot) = 0;
    virtual void onPortOpened(TApdComPort& port) = 0;
    // The channel's port failed while open, or could not be opened: its pending datagram ends.
    virtual void onPortFailed(int slot, const std::string& message) = 0;
    // The port of a failed channel is open again.
    virtual void onPortRecovered(int slot) = 0;
    // The channel is being stopped (apply, exit): its pending datagram ends without a reply.
    virtual void onChannelStopped(int slot) = 0;
};

// What the runtime needs from outside. References must outlive the runtime.
struct RuntimeServices {
    SharedState& state;
    Handover& handover;
    ErrorReport& errors;
    const MsClock& clock;
    PortPrompt* prompt = nullptr;
    RelayView& view;
    std::array<HeartbeatTimer*, kSlots> heartbeat{};  // tm1 … tm16, owned by the window
    // Makes a periodic main-thread timer (used for reopening failed ports).
    std::function<std::unique_ptr<HeartbeatTimer>(int periodMs)> makeTimer;
    int reopenPeriodMs = 5000;
};

// The components of the sixteen channels (sUDP1 … sUDP16, com1 … com16) with their design-time
// settings, and bringing channels up and down: activation, stopping before an apply, shutdown.
class ChannelRuntime {
  public:
    explicit ChannelRuntime(RuntimeServices services);
    ~ChannelRuntime();
    ChannelRuntime(const ChannelRuntime&) = delete;
    ChannelRuntime& operator=(const ChannelRuntime&) = delete;

    void setEvents(ChannelEvents* events) { events_ = events; }

    TIdUDPServer& sUDP(int slot) { return *endpoints_.at(static_cast<std::size_t>(slot)); }
    TApdComPort& com(int slot) { return *ports_.at(static_cast<std::size_t>(slot)); }
    const MsClock& clock() const { return services_.clock; }
    HeartbeatTimer& tm(int slot) { return *services_.heartbeat.at(static_cast<std::size_t>(slot)); }

    // Whether the channel's port is out of service (failed while open, or could not be opened)
    // and waiting to be reopened.
    bool portFailed(int slot) const { return failed_.at(static_cast<std::size_t>(slot)); }
    // Whether the channel's receive port could not be bound at its last activation and the
    // channel waits, red, for it (retried periodically unless the port number itself is unusable).
    bool bindFailed(int slot) const { return bindFailed_.at(static_cast<std::size_t>(slot)); }

    // The port a stored Port binds: its low 16 bits. 0 is no port (a binding failure).
    static std::uint16_t boundPort(std::uint32_t port) {
        return static_cast<std::uint16_t>(port & 0xFFFFu);
    }

    enum class Result { Active, BindFailed, PortOutOfRange, PortFailed };
    // Brings one occupied slot up: endpoint bound at the channel's port, serial port opened from
    // ComIn, the 5-tick timeout trigger added, lamp shown, heartbeat timer running.
    // - The receive port cannot be bound (held by another socket): BindFailed. The slot's lamp is
    //   shown red, its serial port stays closed and its timer off, and the whole activation is
    //   tried again every period until the binding succeeds (or the channels are stopped).
    // - The receive port's low 16 bits are 0: PortOutOfRange, the same but never retried.
    // - A port that cannot be opened (or a ComIn without a number): PortFailed with the failure's
    //   text in `failure`: the channel is otherwise up, its lamp red, and its port is retried
    //   periodically (not when waiting cannot help: a ComIn without a number, or the port
    //   selection dialog cancelled).
    Result ActivateChannel(int slot, const std::string& localAddress, std::string* failure);

    struct PassResult {
        std::vector<int> bindFailed;        // receive ports held elsewhere, in slot order
        std::vector<int> portOutOfRange;    // receive ports whose low 16 bits are 0
        std::vector<std::string> failures;  // ports that could not be opened, in slot order
    };
    // Activates every occupied slot in slot order. No failure of one slot holds a later one back.
    PassResult ActivateAll(const std::string& localAddress);

    // Before an apply: ends every pending datagram without a reply, stops every endpoint, every
    // heartbeat timer and every reopen attempt, closes every port and hides every lamp.
    void StopAll();

    // At exit: the same as StopAll.
    void Shutdown() { StopAll(); }

  private:
    void wire(int slot);
    void openPort(int slot);
    // Everything of an activation after the binding.
    Result finishActivation(int slot, std::string* failure);
    bool bind(int slot);
    void markBindFailed(int slot, bool retry);
    void tryRebind(int slot);
    void markFailed(int slot, const std::string& message, bool retry);
    void tryReopen(int slot);
    void enableTimer(std::unique_ptr<HeartbeatTimer>& timer, std::function<void()> onTimer);

    RuntimeServices services_;
    ChannelEvents* events_ = nullptr;
    std::array<std::unique_ptr<TIdUDPServer>, kSlots> endpoints_;
    std::array<std::unique_ptr<TApdComPort>, kSlots> ports_;
    std::array<std::unique_ptr<HeartbeatTimer>, kSlots> reopenTimers_;
    std::array<bool, kSlots> failed_{};
    std::array<std::unique_ptr<HeartbeatTimer>, kSlots> rebindTimers_;
    std::array<bool, kSlots> bindFailed_{};
    std::array<std::string, kSlots> localAddress_;  // of the last activation, for the retries
};

// Design-time default ports of sUDP1 … sUDP16.
constexpr std::array<std::uint16_t, kSlots> kDefaultUdpPorts = {
    9990,  9991,  9993,  10003, 10004, 10005, 10007, 10008,
    10009, 10010, 10011, 10012, 10013, 10014, 10015, 10016};

}  // namespace lan2com
