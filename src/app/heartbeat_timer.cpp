#include "app/heartbeat_timer.h"

#include <cstdlib>

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

HeartbeatPeriod heartbeatPeriodFrom(const char* text) {
    HeartbeatPeriod period;
    if (text == nullptr) {
        return period;
    }
    const std::string standard = std::to_string(period.ms);
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 100 || value > 3600000) {
        period.logText = std::string("Значение LAN2COM_HEARTBEAT_MS=\"") + text +
                         "\" не принято (допустимо от 100 до 3600000 мс); период контрольной "
                         "посылки " +
                         standard + " мс.";
        return period;
    }
    period.ms = static_cast<int>(value);
    period.logText = "Период контрольной посылки задан переменной LAN2COM_HEARTBEAT_MS: " +
                     std::to_string(period.ms) + " мс (обычный период " + standard + " мс).";
    return period;
}

}  // namespace lan2com
