#pragma once

#include <string>

#include "relay/station_loop.h"

namespace lan2com {

// The heartbeat period and what to say about it in the diagnostics log at start-up, from the
// value of LAN2COM_HEARTBEAT_MS (nullptr: not set). Field checks and tests shorten the period
// with it; the station's period is 29 s. A value outside 100 to 3600000 ms is not taken.
struct HeartbeatPeriod {
    int ms = static_cast<int>(kHeartbeatPeriodMs);
    std::string logText;  // empty when the variable is not set
};
HeartbeatPeriod heartbeatPeriodFrom(const char* value);

}  // namespace lan2com
