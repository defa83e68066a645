#include "serial/trigger_set.h"

#include <algorithm>

#include "serial/apd_com_port.h"

namespace lan2com {

void TriggerSet::reset() {
    threshold_ = 0;
    counter_ = 1;
    triggers_.clear();
}

std::uint16_t TriggerSet::add() {
    std::uint16_t handle = 0;
    if (counter_ < kCounterLimit) {
        handle = static_cast<std::uint16_t>(counter_ * 8u);
        ++counter_;
    } else {
        for (std::uint32_t candidate = 8; candidate <= kCounterLimit; candidate += 8) {
            const bool used =
                std::any_of(triggers_.begin(), triggers_.end(),
                            [&](const TimerTrigger& t) { return t.handle == candidate; });
            if (!used) {
                handle = static_cast<std::uint16_t>(candidate);
                break;
            }
        }
        if (handle == 0) {
            throw ENoMoreTriggers();
        }
    }
    TimerTrigger trigger;
    trigger.handle = handle;
    triggers_.push_back(trigger);
    return handle;
}

TimerTrigger* TriggerSet::find(std::uint16_t handle) {
    for (auto& trigger : triggers_) {
        if (trigger.handle == handle) {
            return &trigger;
        }
    }
    return nullptr;
}

void TriggerSet::set(std::uint16_t handle, std::int32_t ticks, bool activate,
                     std::uint32_t nowTick) {
    TimerTrigger* trigger = find(handle);
    if (trigger == nullptr) {
        throw EBadTriggerHandle();
    }
    // Any call counts as a change, a disarm of a disarmed trigger too: a firing whose delivery
    // failed must not come back after the main thread has disarmed the trigger.
    ++trigger->generation;
    if (!activate) {
        trigger->armed = false;
        return;
    }
    if (ticks != 0) {
        trigger->length = ticks;
    }
    // A negative length would put the deadline behind the start, where the wrap arithmetic could
    // read it as almost a whole clock period away: it counts as 0 (expires at the next tick).
    const std::uint32_t effective =
        trigger->length < 0 ? 0u : std::min(static_cast<std::uint32_t>(trigger->length), kMaxTicks);
    trigger->start = nowTick;
    trigger->deadline = nowTick + effective;
    trigger->armed = true;
}

std::uint32_t TriggerSet::elapsed(const TimerTrigger& trigger, std::uint32_t nowTick) {
    // Ticks since the arming; a present tick below the start means the clock has wrapped since.
    if (nowTick >= trigger.start) {
        return nowTick - trigger.start;
    }
    return nowTick + (kTickPeriod - trigger.start);
}

bool TriggerSet::expired(const TimerTrigger& trigger, std::uint32_t nowTick) {
    if (!trigger.armed) {
        return false;
    }
    // Without a wrap this is "present tick > deadline"; across a wrap the present tick is
    // counted on from the end of the period, so a trigger armed shortly before the wrap expires
    // after its own length and not half a clock period later.
    return elapsed(trigger, nowTick) > trigger.deadline - trigger.start;
}

std::optional<TriggerSet::Firing> TriggerSet::firstExpired(std::uint32_t nowTick) const {
    for (std::size_t i = 0; i < triggers_.size(); ++i) {
        if (expired(triggers_[i], nowTick)) {
            return Firing{i, triggers_[i].handle, triggers_[i].generation};
        }
    }
    return std::nullopt;
}

void TriggerSet::beginFire(const Firing& firing) {
    if (firing.index < triggers_.size()) {
        TimerTrigger& trigger = triggers_[firing.index];
        trigger.armed = false;
        // The generation stays: undoFire() recognises the trigger as untouched.
    }
}

void TriggerSet::undoFire(const Firing& firing) {
    if (firing.index < triggers_.size()) {
        TimerTrigger& trigger = triggers_[firing.index];
        if (trigger.handle == firing.handle && trigger.generation == firing.generation) {
            trigger.armed = true;
        }
    }
}

std::optional<std::uint32_t> TriggerSet::ticksToNextExpiry(std::uint32_t nowTick) const {
    std::optional<std::uint32_t> best;
    for (const auto& trigger : triggers_) {
        if (!trigger.armed) {
            continue;
        }
        const std::uint32_t length = trigger.deadline - trigger.start;
        const std::uint32_t done = elapsed(trigger, nowTick);
        const std::uint32_t left = done > length ? 0u : length + 1u - done;
        if (!best || left < *best) {
            best = left;
        }
    }
    return best;
}

TriggerSet::Saved TriggerSet::save() const {
    return Saved{threshold_, triggers_};
}

void TriggerSet::restore(const Saved& saved) {
    threshold_ = saved.threshold;
    triggers_ = saved.triggers;
}

}  // namespace lan2com
