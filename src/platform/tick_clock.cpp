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
    // From Windows 11 on, the system may ignore the raised resolution while the process's windows
    // are minimised or hidden, unless the process opts out of that throttling. The call exists
    // from Windows 8 on: looked up rather than imported, so that an older system (or Wine without
    // it) still starts the program.
    using SetInformation = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    const auto set = kernel == nullptr ? nullptr
                                       : reinterpret_cast<SetInformation>(reinterpret_cast<void*>(
                                             GetProcAddress(kernel, "SetProcessInformation")));
    if (set != nullptr) {
        PROCESS_POWER_THROTTLING_STATE state{};
        state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
        state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
        state.StateMask = 0;  // controlled and off: the resolution is always honoured
        keptWhenHidden_ =
            set(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state) != FALSE;
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
