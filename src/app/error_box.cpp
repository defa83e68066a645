#include "app/error_box.h"

#include <QMetaObject>
#include <utility>

namespace lan2com {

BoxErrorReport::BoxErrorReport(MessageBoxes& boxes, std::string title)
    : boxes_(boxes), title_(std::move(title)) {}

void BoxErrorReport::report(const std::string& message) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(message);
    if (scheduled_ || showing_) {
        return;  // the running or queued round shows this one too
    }
    scheduled_ = true;
    QMetaObject::invokeMethod(
        &receiver_, [this] { showPending(); }, Qt::QueuedConnection);
}

std::size_t BoxErrorReport::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

void BoxErrorReport::showPending() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        scheduled_ = false;
        if (showing_) {
            return;
        }
        showing_ = true;
    }
    // Reset the flag however the round ends, so that a failing box does not silence every later
    // report.
    struct Round {
        BoxErrorReport& self;
        ~Round() {
            std::lock_guard<std::mutex> lock(self.mutex_);
            self.showing_ = false;
            if (!self.queue_.empty() && !self.scheduled_) {
                self.scheduled_ = true;
                QMetaObject::invokeMethod(
                    &self.receiver_, [s = &self] { s->showPending(); }, Qt::QueuedConnection);
            }
        }
    } round{*this};

    while (true) {
        std::string message;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) {
                return;
            }
            message = std::move(queue_.front());
            queue_.pop_front();
        }
        BoxRequest request;
        request.title = title_;
        request.text = withFullStop(message);
        request.buttons = BoxButtons::Ok;
        request.icon = BoxIcon::Error;
        request.defaultButton = BoxAnswer::Ok;
        boxes_.show(request);
    }
}

}  // namespace lan2com
