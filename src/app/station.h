#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "platform/registry.h"
#include "platform/tick_clock.h"
#include "relay/station_display.h"
#include "relay/station_loop.h"
#include "serial/com_port.h"
#include "ui/channel_editor.h"

namespace lan2com {

class TS_Form;

// What the station is built from besides the window.
struct StationOptions {
    Registry* registry = nullptr;             // the configuration store; required
    std::vector<std::string> localAddresses;  // this computer's addresses, for edtIP
    PortPrompt* portPrompt = nullptr;         // the port selection dialog (ComNumber 0)
    const MsClock* clock = nullptr;           // nullptr: the system's tick clock
    int reopenPeriodMs = static_cast<int>(kRetryPeriodMs);   // how often a lost port is retried
    int heartbeatMs = static_cast<int>(kHeartbeatPeriodMs);  // the heartbeat period
    JournalSink* journal = nullptr;                          // the event journal; nullptr: none
};

// The running station behind the main window: start-up, Apply, the reports of channels that wait
// for their receive port or COM port, the diagnostics log's clearing and the end of the program. It
// owns the station loop (the sixteen channels' endpoints, ports and protocols, on a thread of
// their own) and the channel editor, shows what the loop reports, and wires them to the window's
// controls.
class Station {
  public:
    Station(TS_Form& form, StationOptions options);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The window's show handler: pairs, stored channels, the channel list, activation of every
    // stored channel, then the warnings.
    void FormShow();
    // Makes the edited table the stored and then the running configuration. When it cannot be
    // stored, the channels run on as they were.
    void btnApplyClick();
    // Asks, then clears the diagnostics log.
    void DelRecClick();
    // The operator confirmed the end: every pending datagram ends without a reply, every endpoint
    // and port closes.
    void shutdown();

    StationLoop& loop() { return loop_; }
    StationDisplay& display() { return display_; }
    ChannelEditor& editor() { return editor_; }
    // Shows what the loop has reported so far (the window's event loop does it by itself).
    void showReports();

  private:
    // Brings every occupied slot up (the endpoints listen on every local address), after the
    // window has resolved each COM port, asking the operator where a channel's ComIn names none.
    ActivationPass activateAll();
    // Ports that could not be opened, in one report.
    void reportPortFailures(const std::vector<std::string>& failures);
    // Receive ports that could not be bound, in one message; the channels stay configured.
    void reportBindFailures(const ActivationPass& pass);
    void updateListButtons();

    TS_Form& form_;
    Registry& registry_;
    std::vector<std::string> localAddresses_;
    PortPrompt* portPrompt_;
    QObject reportContext_;  // queued report deliveries die with it
    StationDisplay display_;
    ChannelEditor editor_;
    JournalSink* journal_;
    std::string runningChannels_;  // the applied configuration, as the journal names it
    StationLoop loop_;             // last: its thread ends before anything it reports to goes
};

}  // namespace lan2com
