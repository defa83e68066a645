#include "app/heartbeat_timer.h"

namespace lan2com {

QtHeartbeatTimer::QtHeartbeatTimer(int intervalMs) {
    timer_.setSingleShot(false);
    timer_.setInterval(intervalMs);
    // A heartbeat keeps the monitoring software's link alive: it must not drift by the few
    // percent that a coarse timer allows.
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        // A period that ended while a handler disabled the timer is not delivered.
        if (timer_.isActive() && OnTimer) {
            OnTimer();
        }
    });
}

void QtHeartbeatTimer::SetEnabled(bool enabled) {
    if (enabled == timer_.isActive()) {
        return;  // a running timer keeps its period
    }
    if (enabled) {
        timer_.start();
    } else {
        timer_.stop();
    }
}

bool QtHeartbeatTimer::Enabled() const {
    return timer_.isActive();
}

}  // namespace lan2com
