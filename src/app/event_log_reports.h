#pragma once

// What the operator is told that the event log keeps as well: on an unattended station nobody
// may read the window, and a message box waits for nobody.

#include <functional>
#include <string>

#include "platform/error_report.h"
#include "platform/event_log.h"
#include "ui/message_box.h"

namespace lan2com {

// Where the entries go: the system's event log in the program, a recorder in tests.
using EventLogSink = std::function<void(EventLogKind, const std::string&)>;
EventLogSink systemEventLog();

// The program's message boxes, which also write the failures of start-up to the event log: the
// boxes titled as start-up titles them (no virtual pairs, configuration that cannot be read,
// channels whose pair is missing), with a warning or error icon, as "title: text". Every box is
// shown by the inner boxes, set once the window that owns them exists; until then a box is
// logged and answered as if closed (Ok, or No for a question).
class StartupFailuresLogged final : public MessageBoxes {
  public:
    explicit StartupFailuresLogged(EventLogSink sink = systemEventLog());
    void setInner(MessageBoxes* inner) { inner_ = inner; }
    BoxAnswer show(const BoxRequest& request) override;

  private:
    EventLogSink sink_;
    MessageBoxes* inner_ = nullptr;
};

// The application's report of failures that escape a handler (the start-up handler's among
// them): each is written to the event log as an error, then shown by the inner report.
class EscapedFailuresLogged final : public ErrorReport {
  public:
    explicit EscapedFailuresLogged(ErrorReport& inner, EventLogSink sink = systemEventLog())
        : inner_(inner), sink_(std::move(sink)) {}
    void report(const std::string& message) override;

  private:
    ErrorReport& inner_;
    EventLogSink sink_;
};

}  // namespace lan2com
