#include "app/event_log_reports.h"

#include <utility>

#include "channels/startup_plan.h"

namespace lan2com {

EventLogSink systemEventLog() {
    return [](EventLogKind kind, const std::string& text) { writeEventLog(kind, text); };
}

StartupFailuresLogged::StartupFailuresLogged(EventLogSink sink) : sink_(std::move(sink)) {}

BoxAnswer StartupFailuresLogged::show(const BoxRequest& request) {
    const bool startupTitle = request.title == kNoPairsTitle ||
                              request.title == kStoreWarningTitle ||
                              request.title == kPairCheckTitle;
    if (startupTitle && (request.icon == BoxIcon::Error || request.icon == BoxIcon::Warning)) {
        sink_(request.icon == BoxIcon::Error ? EventLogKind::Error : EventLogKind::Warning,
              request.title + ": " + request.text);
    }
    if (inner_ == nullptr) {
        return request.buttons == BoxButtons::YesNo ? BoxAnswer::No : BoxAnswer::Ok;
    }
    return inner_->show(request);
}

void EscapedFailuresLogged::report(const std::string& message) {
    sink_(EventLogKind::Error, withFullStop(message));
    inner_.report(message);
}

}  // namespace lan2com
