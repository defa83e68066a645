#pragma once

#include <QObject>
#include <atomic>

#include "platform/handover.h"

namespace lan2com {

// The hand-over driven by the Qt event loop: every posted call runs as an event of the main
// thread, so it also runs inside modal message boxes. What waits for the end of a call runs, in an
// event loop nested in that call, whenever that loop is about to wait: no extra event is posted
// for it. Constructed on the main thread.
class QtHandover final : public QueueHandover {
  public:
    QtHandover();

  protected:
    void wake() override;
    void arrangeCallEnd() override;

  private:
    QObject receiver_;  // lives on the main thread
    std::atomic<bool> wakePending_{false};
    bool watchesLoop_ = false;  // the main thread's event loop runs what waits for a call's end
};

}  // namespace lan2com
