#pragma once

#include <string>

namespace lan2com {

// Lamp colours of a channel: what the channel did last.
enum class LampColor {
    Lime,    // acknowledged (and the colour at start)
    Yellow,  // a service packet's heartbeat line is being written
    Teal,    // an event line is being written
    Red,     // the acknowledgement timed out, or the port failed
};

// What the relay shows in the window: the lamps and the diagnostics log with its controls.
// Implemented by the main window; main thread only.
class RelayView {
  public:
    virtual ~RelayView() = default;

    virtual void setLampColor(int slot, LampColor color) = 0;
    virtual void setLampVisible(int slot, bool visible) = 0;

    // The diagnostics memo diagnosticsLog.
    virtual void appendLogLine(const std::string& utf8) = 0;
    // The memo's line count as displayed: a wrapped line counts once per displayed line, a
    // trailing empty line does not count.
    virtual int logLineCount() const = 0;
    virtual void clearLog() = 0;

    virtual bool diagnosticsChecked() const = 0;  // diagnosticsCheck
    virtual void setDiagnosticsChecked(
        bool checked) = 0;                          // runs showDiagnosticsControls as a click would
    virtual std::string accountFilter() const = 0;  // the text of accountFilterEdit
    virtual void setRecordCount(const std::string& text) = 0;  // the caption of recordCountLabel

    // The current local date and time as the log shows it.
    virtual std::string timestamp() const = 0;
};

}  // namespace lan2com
