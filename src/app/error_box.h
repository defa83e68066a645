#pragma once

#include <QObject>
#include <deque>
#include <mutex>
#include <string>

#include "platform/error_report.h"
#include "ui/message_box.h"

namespace lan2com {

// The default error report of the program: every reported failure is shown once, in a modal box
// of its own (the message with its full stop, the application's title, one OK button, the error
// icon), and the program goes on.
//
// Reporting never blocks: the failure is queued and shown from the event loop right after the
// reporter has returned, so a report from inside a handler (or a handed-over event, whose endpoint
// thread waits for it) does not hold that handler up. One box at a time: failures reported while
// a box is open are shown one after another once it is closed. report() may be called from any
// thread; the boxes are shown on the main thread.
class BoxErrorReport final : public ErrorReport {
  public:
    BoxErrorReport(MessageBoxes& boxes, std::string title);

    void report(const std::string& message) override;

    // Failures reported and not shown yet.
    std::size_t pending() const;

  private:
    void showPending();

    MessageBoxes& boxes_;
    const std::string title_;
    mutable std::mutex mutex_;
    std::deque<std::string> queue_;
    bool scheduled_ = false;  // a call of showPending() is queued
    bool showing_ = false;    // a box is open
    QObject receiver_;        // lives on the main thread; queued calls die with it
};

}  // namespace lan2com
