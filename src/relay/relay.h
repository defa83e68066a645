#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/channel_runtime.h"
#include "channels/channel_table.h"
#include "relay/relay_view.h"

namespace lan2com {

// The event relay of the sixteen channels: datagram intake, the acknowledgement and its timeout,
// the heartbeat, and the diagnostics log. One implementation serves every channel; the slot s
// selects the channel's components (channel number s+1).
//
// A datagram handler writes its line, arms the channel's 5-tick trigger and returns; the datagram
// stays pending until the channel's acknowledgement state leaves 0 (acknowledgement byte, timeout,
// port failure), the channel is stopped, or the program exits. Only then does the endpoint deliver
// the channel's next datagram. Waits of different channels are independent: each is answered as
// soon as its own acknowledgement arrives, and nothing spins.
class Relay final : public ChannelEvents {
  public:
    Relay(SharedState& state, RelayView& view, ChannelRuntime& runtime);

    // ---- Channel events ----
    void onDatagram(int slot, const std::vector<std::uint8_t>& data,
                    TIdSocketHandle& binding) override;  // sUDP1UDPRead … sUDP16UDPRead
    void onDataAvailable(int slot,
                         std::uint16_t count) override;  // com1TriggerData, comNTriggerAvail
    void onTriggerTimer(int slot, std::uint16_t handle) override;  // com1TriggerTimer …
    void onHeartbeat(int slot) override;                           // tm1Timer … tm16Timer
    void onPortOpened(TApdComPort& port) override;                 // com1PortOpen
    void onPortFailed(int slot, const std::string& message) override;
    void onPortRecovered(int slot) override;
    void onChannelStopped(int slot) override;

    // ---- Diagnostics log ----
    void DiagEntry(std::uint8_t pair, const std::string& peer, const std::string& cid,
                   const std::string& level);
    // DelRec's Yes: the memo is cleared and the counter reads "0".
    void clearDiagnostics();

    // Exit (AppExit is set): every pending datagram ends without a reply.
    void endAllPending();

    bool hasPending(int slot) const {
        return pending_.at(static_cast<std::size_t>(slot)).has_value();
    }

    static constexpr int kLogLimit = 2000;
    static constexpr std::uint8_t kAck = 0x06;
    // How long a heartbeat line waits for its 0x06: the acknowledgement timeout's 6 ticks.
    static constexpr std::uint32_t kHeartbeatAnswerMs = 330;

  private:
    struct Pending {
        std::string peerIP;
        std::uint16_t peerPort = 0;
        bool service = false;
        bool heartbeatAhead = false;  // the next 0x06 answers a heartbeat written before the line
        std::shared_ptr<DatagramCompletion> completion;
    };

    // Ends the slot's pending datagram once its state has left 0: "OK" when acknowledged.
    void completePending(int slot);
    // Ends it without a reply.
    void dropPending(int slot);
    void writeLine(TApdComPort& port, const std::uint8_t* bytes);

    SharedState& state_;
    RelayView& view_;
    ChannelRuntime& runtime_;
    std::array<std::optional<Pending>, kSlots> pending_;
    // When each channel last wrote a heartbeat line that no 0x06 has answered yet.
    std::array<std::optional<std::uint32_t>, kSlots> heartbeatSentAt_;
};

}  // namespace lan2com
