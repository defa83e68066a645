#pragma once

#include <QObject>
#include <atomic>

#include "platform/handover.h"

namespace lan2com {

// The hand-over driven by the Qt event loop: every posted call runs as an event of the main
// thread, so it also runs inside modal message boxes.
class QtHandover final : public QueueHandover {
  public:
    QtHandover();

  protected:
    void wake() override;

  private:
    QObject receiver_;  // lives on the main thread
    std::atomic<bool> wakePending_{false};
};

}  // namespace lan2com
