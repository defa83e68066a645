#include "platform/qt_handover.h"

#include <QMetaObject>

namespace lan2com {

QtHandover::QtHandover() = default;

void QtHandover::wake() {
    // One queued event is enough for any number of calls queued before it runs.
    if (wakePending_.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        &receiver_,
        [this] {
            wakePending_.store(false);
            runPending();
        },
        Qt::QueuedConnection);
}

}  // namespace lan2com
