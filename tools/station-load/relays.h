#pragma once

// Starting the relays under load on a station, and waiting until every channel answers.

#include <chrono>
#include <memory>
#include <string>

#include "load.h"
#include "station.h"

namespace stationload {

// lan2com of this build on the station's folder, offscreen; its output in <home>/lan2com.log.
std::unique_ptr<ChildProcess> startLan2com(const StationHome& home);
// The benchmark's floor relay (this tool, "floor-relay") on the same pairs and ports.
std::unique_ptr<ChildProcess> startFloor(const StationHome& home);

// This tool's flood ("flood") from the wrong address to every channel's port for `seconds`.
std::unique_ptr<ChildProcess> startFlood(const StationHome& home, int seconds);

// Sends a probe event to every channel until each has answered "OK" once, then lets late answers
// of the probes arrive and discards them. Raises std::runtime_error when the relay ends or a
// channel stays silent past the time limit. Answers the time it took.
std::chrono::duration<double> waitUntilAnswering(Load& load, ChildProcess& relay,
                                                 std::chrono::seconds limit);

// Raises std::runtime_error with the relay's exit and the tail of its log if it has ended.
void checkRunning(ChildProcess& relay, const std::string& name);

// A reply that counts as the relay's answer to an event.
inline bool isAnswer(const std::vector<std::uint8_t>& datagram, bool fromRelay) {
    return fromRelay && alarmsim::isOkReply(datagram);
}

}  // namespace stationload
