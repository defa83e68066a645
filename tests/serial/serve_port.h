#pragma once

// Serving a COM port in the tests as the station loop serves it: a wait, then service.

#include <chrono>
#include <cstdint>
#include <functional>
#include <vector>

#include "serial/com_port.h"

namespace lan2com::serialtest {

// Serves the port in waits of its own until `done` holds or the time is up; answers whether the
// port stayed up, and collects what it received.
inline bool serveUntil(ComPort& port, std::vector<std::uint8_t>& received,
                       const std::function<bool()>& done,
                       std::chrono::milliseconds time = std::chrono::milliseconds(3000)) {
    using Clock = std::chrono::steady_clock;
    WaitSet set;
    const auto deadline = Clock::now() + time;
    while (!done() && Clock::now() < deadline) {
        set.clear();
        port.addWaits(set);
        set.wait(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        if (!port.service(set, received)) {
            return false;
        }
    }
    return true;
}

}  // namespace lan2com::serialtest
