#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "channels/channel_runtime.h"
#include "channels/channel_table.h"
#include "channels/station_view.h"
#include "relay/channel_protocol.h"

namespace lan2com {

// The event relay of the sixteen channels. Each channel's protocol decides (ChannelProtocol); the
// relay feeds it what the channel's endpoint, port and timers report and carries out its actions:
// lines to the port, the timeout trigger, "OK" to the transceiver, the datagram's release to the
// endpoint, lamps and the diagnostics log. One implementation serves every channel; the slot s
// selects the channel's components (channel number s+1).
class Relay final : public ChannelEvents {
  public:
    Relay(SharedState& state, RelayView& view, ChannelRuntime& runtime);

    // ---- Channel events ----
    void onDatagram(int slot, const std::vector<std::uint8_t>& data,
                    TIdSocketHandle& binding) override;
    void onDataAvailable(int slot, std::uint16_t count) override;
    void onTriggerTimer(int slot, std::uint16_t handle) override;
    void onHeartbeat(int slot) override;
    void onPortOpened(TApdComPort& port) override;
    void onPortFailed(int slot, const std::string& message) override;
    void onPortRecovered(int slot) override;
    void onChannelStopped(int slot) override;

    // ---- Diagnostics log ----
    void DiagEntry(std::uint8_t pair, const std::string& peer, const std::string& cid,
                   const std::string& level);
    // DelRec's Yes: the memo is cleared and the counter reads "0".
    void clearDiagnostics();

    // Exit (AppExit is set): every waiting datagram ends without a reply.
    void endAllPending();

    const ChannelProtocol& protocol(int slot) const {
        return protocols_.at(static_cast<std::size_t>(slot));
    }
    // Whether a datagram of the channel is still with the relay (its line waits, or it waits to
    // be written).
    bool hasPending(int slot) const {
        return !completions_.at(static_cast<std::size_t>(slot)).empty();
    }

    static constexpr int kLogLimit = 2000;

  private:
    ChannelProtocol::Moment moment(int slot);
    // Feeds the protocol every received byte that has not been read yet, so that an input that
    // follows meets the channel as it is.
    void readPending(int slot);
    void carryOut(int slot, const ProtocolActions& actions);
    void release(int slot, std::uint64_t id);
    void logPortLine(int slot, const std::string& text);

    SharedState& state_;
    RelayView& view_;
    ChannelRuntime& runtime_;
    std::array<ChannelProtocol, kSlots> protocols_;
    // The datagrams each channel holds back from its endpoint, by id.
    std::array<std::map<std::uint64_t, std::shared_ptr<DatagramCompletion>>, kSlots> completions_;
    std::uint64_t nextId_ = 0;
};

}  // namespace lan2com
