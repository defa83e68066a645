#pragma once

#include <cstdint>

namespace lan2com {

// The millisecond clock behind the serial ports' timer triggers: a 32-bit count that wraps.
// Injectable, so that tests can place the wrap where they like.
class MsClock {
  public:
    virtual ~MsClock() = default;
    virtual std::uint32_t nowMs() const = 0;
};

// The operating system's clock: the multimedia timer on Windows, CLOCK_MONOTONIC elsewhere,
// both cut to 32 bits.
class SystemMsClock final : public MsClock {
  public:
    std::uint32_t nowMs() const override;
};

// The one system clock instance shared by every port.
const MsClock& systemMsClock();

// A tick is 55 ms; the tick count is the millisecond count divided by 55 (integer division).
constexpr std::uint32_t kTickMs = 55;
constexpr std::uint32_t toTicks(std::uint32_t ms) {
    return ms / kTickMs;
}

// Raises the resolution of the system clock for as long as it lives (Windows: timeBeginPeriod
// with the finest period offered, and the process opted out of the timer-resolution throttling
// that Windows 11 applies to minimised and hidden windows; elsewhere nothing to do). The program
// holds one from start to end.
class ClockResolution {
  public:
    ClockResolution();
    ~ClockResolution();
    ClockResolution(const ClockResolution&) = delete;
    ClockResolution& operator=(const ClockResolution&) = delete;

    // The timer period asked of Windows (0: none was granted, or not Windows).
    unsigned period() const { return period_; }
    // Whether Windows took the opt-out from timer-resolution throttling (false elsewhere, and on
    // a Windows that does not know it).
    bool keptWhenHidden() const { return keptWhenHidden_; }

  private:
    unsigned period_ = 0;
    bool keptWhenHidden_ = false;
};

}  // namespace lan2com
