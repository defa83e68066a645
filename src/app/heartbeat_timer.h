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

}  // namespace lan2com
