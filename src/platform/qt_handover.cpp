#include "platform/qt_handover.h"

#include <QAbstractEventDispatcher>
#include <QMetaObject>

namespace lan2com {

QtHandover::QtHandover() {
    if (QAbstractEventDispatcher* loop = QAbstractEventDispatcher::instance()) {
        // Outside a call there is nothing waiting, so the outer loop only glances at an empty
        // list before it waits.
        QObject::connect(loop, &QAbstractEventDispatcher::aboutToBlock, &receiver_,
                         [this] { runAtCallEnd(); });
        watchesLoop_ = true;
    }
}

void QtHandover::arrangeCallEnd() {
    if (!watchesLoop_) {
        QueueHandover::arrangeCallEnd();  // no event loop yet: a posted call does it
    }
}

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
