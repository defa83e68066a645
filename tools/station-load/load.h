#pragma once

// The outside of the station: on each channel an instant-acknowledging monitor on the far end of
// its pair and a transceiver socket on 127.0.0.1, all served by one thread.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "sim_codec.h"
#include "station.h"

namespace stationload {

using Clock = std::chrono::steady_clock;

// Ctrl-C and SIGTERM ask the running load to stop; the tool then ends what it started.
void installStopSignals();
bool stopRequested();

// The event datagram that carries the number n (36 bits): account, group and zone hold it in
// hexadecimal digits, so that every event of a run is a line of its own.
std::array<std::uint8_t, 16> eventDatagram(std::uint64_t n);
// The number of an event line made from eventDatagram() on a channel without digit conversion.
std::optional<std::uint64_t> numberOf(const alarmsim::ReceiverLine& line);

class Load {
  public:
    struct Handlers {
        // A frame read by the monitor of channel `index`, after its acknowledgement was written.
        std::function<void(std::size_t index, const alarmsim::ReceiverLine&, Clock::time_point)>
            onLine;
        // A datagram received by the transceiver of channel `index`; fromRelay: it came from the
        // channel's own UDP port on 127.0.0.1.
        std::function<void(std::size_t index, const std::vector<std::uint8_t>&, bool fromRelay,
                           Clock::time_point)>
            onReply;
    };

    // Opens the monitors' ends of the pairs and binds the transceivers; raises std::runtime_error.
    explicit Load(const std::vector<ChannelSetup>& channels);
    ~Load();
    Load(const Load&) = delete;
    Load& operator=(const Load&) = delete;

    std::size_t size() const { return channels_.size(); }
    const ChannelSetup& channel(std::size_t index) const { return channels_[index].setup; }

    // Sends a datagram from the transceiver of channel `index` to the channel; answers the time.
    Clock::time_point send(std::size_t index, const std::uint8_t* data, std::size_t size);
    // Waits until something arrives or the deadline passes, and handles all that has arrived.
    // Raises std::runtime_error when a monitor's end goes away.
    void poll(Clock::time_point deadline, const Handlers& handlers);
    // Handles (acknowledges, discards) whatever arrives for the given time.
    void drain(std::chrono::milliseconds time);

    std::uint64_t acksLost() const { return acksLost_; }
    std::uint64_t sendsFailed() const { return sendsFailed_; }

  private:
    struct Channel {
        ChannelSetup setup;
        int tty = -1;
        int udp = -1;
        alarmsim::LineSplitter splitter;
    };

    void readMonitor(std::size_t index, const Handlers& handlers);
    void readTransceiver(std::size_t index, const Handlers& handlers);

    std::vector<Channel> channels_;
    int epoll_ = -1;
    std::uint64_t acksLost_ = 0;
    std::uint64_t sendsFailed_ = 0;
};

}  // namespace stationload
