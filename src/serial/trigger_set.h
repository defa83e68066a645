#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace lan2com {

// One timer trigger of a serial port. Times are ticks of the port's clock (milliseconds / 55).
struct TimerTrigger {
    std::uint16_t handle = 0;
    std::int32_t length = 0;     // ticks, as last set
    std::uint32_t start = 0;     // tick at which it was last armed
    std::uint32_t deadline = 0;  // start + the effective length
    bool armed = false;
    // Bumped by every change made through set(), so that a firing whose delivery failed can tell
    // whether the trigger was touched meanwhile.
    std::uint32_t generation = 0;
};

// The trigger set of one serial port: the data-available threshold and the ordered list of timer
// triggers with their handle counter. Pure arithmetic, no threads and no clock of its own: every
// call that needs the present time is given it in ticks.
//
// Expiry: an armed trigger has expired once more ticks than its length have passed since it was
// armed. Ticks come from a 32-bit millisecond count divided by 55, so they run from 0 to
// kLastTick and then start again at 0; the elapsed time is counted across that wrap.
class TriggerSet {
  public:
    // The longest length a trigger counts with; longer lengths are cut to it.
    static constexpr std::uint32_t kMaxTicks = 39045157;
    // The last tick before the millisecond count wraps, and the number of distinct ticks.
    static constexpr std::uint32_t kLastTick = 0xFFFFFFFFu / 55u;  // 78090314
    static constexpr std::uint32_t kTickPeriod = kLastTick + 1;
    // Handles are the counter times 8; from this counter value on, free handles are reused.
    static constexpr std::uint16_t kCounterLimit = 4096;

    // Identifies one firing of a trigger (see beginFire / undoFire).
    struct Firing {
        std::size_t index = 0;
        std::uint16_t handle = 0;
        std::uint32_t generation = 0;
    };

    // Empties the list, sets the threshold to 0 and the handle counter back to 1 (a fresh open).
    void reset();

    // Adds a disarmed trigger of length 0 at the end and answers its handle; ENoMoreTriggers when
    // no handle is free.
    std::uint16_t add();

    // Arms (activate) or disarms the first trigger with this handle; EBadTriggerHandle when there
    // is none. Arming with ticks 0 keeps the present length; arming an armed trigger restarts it.
    void set(std::uint16_t handle, std::int32_t ticks, bool activate, std::uint32_t nowTick);

    // The first armed trigger in list order that has expired at nowTick, if any.
    std::optional<Firing> firstExpired(std::uint32_t nowTick) const;
    // Disarms the trigger of a firing before its event is delivered.
    void beginFire(const Firing& firing);
    // The firing's event could not be delivered: arm the trigger again, still expired, unless it
    // was changed meanwhile.
    void undoFire(const Firing& firing);

    // Ticks until the earliest armed trigger expires: 0 when one has expired already, nothing
    // when no trigger is armed. The expiry happens at the start of tick nowTick + answer.
    std::optional<std::uint32_t> ticksToNextExpiry(std::uint32_t nowTick) const;

    static bool expired(const TimerTrigger& trigger, std::uint32_t nowTick);

    std::uint16_t threshold() const { return threshold_; }
    void setThreshold(std::uint16_t bytes) { threshold_ = bytes; }

    const std::vector<TimerTrigger>& triggers() const { return triggers_; }

    // What a close keeps for the next open: the threshold and the list. The handle counter is not
    // part of it; it starts again at 1 on every open.
    struct Saved {
        std::uint16_t threshold = 0;
        std::vector<TimerTrigger> triggers;
    };
    Saved save() const;
    void restore(const Saved& saved);

  private:
    static std::uint32_t elapsed(const TimerTrigger& trigger, std::uint32_t nowTick);
    TimerTrigger* find(std::uint16_t handle);

    std::uint16_t threshold_ = 0;
    std::uint16_t counter_ = 1;
    std::vector<TimerTrigger> triggers_;
};

}  // namespace lan2com
