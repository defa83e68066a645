#include "app/heartbeat_period.h"

#include <cstdlib>

namespace lan2com {

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
