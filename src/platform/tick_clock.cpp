#include "platform/tick_clock.h"

#ifdef _WIN32
// windows.h first: mmsystem.h builds on its types.
#include <windows.h>

#include <mmsystem.h>
#else
#include <time.h>
#endif

namespace lan2com {

std::uint32_t SystemMsClock::nowMs() const {
#ifdef _WIN32
    return static_cast<std::uint32_t>(timeGetTime());
#else
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                    static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
#endif
}

const MsClock& systemMsClock() {
    static const SystemMsClock clock;
    return clock;
}

ClockResolution::ClockResolution() {
#ifdef _WIN32
    TIMECAPS caps{};
    if (timeGetDevCaps(&caps, sizeof caps) == MMSYSERR_NOERROR &&
        timeBeginPeriod(caps.wPeriodMin) == TIMERR_NOERROR) {
        period_ = caps.wPeriodMin;
    }
#endif
}

ClockResolution::~ClockResolution() {
#ifdef _WIN32
    if (period_ != 0) {
        timeEndPeriod(period_);
    }
#endif
}

}  // namespace lan2com
