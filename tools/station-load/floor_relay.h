#pragma once

#include <string>
#include <vector>

namespace stationload {

// The floor of the benchmark: the least relay of the protocol, one thread and no window. Each
// argument is "channel:udp-port:tty-path". Runs until SIGTERM; answers the exit status.
int runFloorRelay(const std::vector<std::string>& channels);

}  // namespace stationload
