#pragma once

#include <QTimer>
#include <string>

#include "channels/station_view.h"

namespace lan2com {

// A channel's heartbeat timer over a window timer of the main thread: periodic, disabled at
// creation. Enabling a running timer keeps its period; disabling and enabling again starts a full
// new period; no event arrives while it is disabled.
class QtHeartbeatTimer final : public HeartbeatTimer {
  public:
    static constexpr int kDefaultIntervalMs = 29000;

    explicit QtHeartbeatTimer(int intervalMs = kDefaultIntervalMs);

    void SetEnabled(bool enabled) override;
    bool Enabled() const override;
    int Interval() const { return timer_.interval(); }

  private:
    QTimer timer_;
};

// The heartbeat period and what to say about it in the diagnostics log at start-up, from the
// value of LAN2COM_HEARTBEAT_MS (nullptr: not set). Field checks and tests shorten the period
// with it; the station's period is 29 s. A value outside 100 to 3600000 ms is not taken.
struct HeartbeatPeriod {
    int ms = QtHeartbeatTimer::kDefaultIntervalMs;
    std::string logText;  // empty when the variable is not set
};
HeartbeatPeriod heartbeatPeriodFrom(const char* value);

}  // namespace lan2com
