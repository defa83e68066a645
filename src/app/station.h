#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "app/error_box.h"
#include "channels/startup_plan.h"
#include "platform/registry.h"
#include "platform/tick_clock.h"
#include "relay/station_display.h"
#include "relay/station_loop.h"
#include "serial/com_port.h"
#include "ui/channel_editor.h"

namespace lan2com {

class MainWindow;

// What the station is built from besides the window.
struct StationOptions {
    std::string title = "lan2com";            // the application's title: the error report's caption
    Registry* registry = nullptr;             // the configuration store; required
    std::vector<std::string> localAddresses;  // this computer's addresses, for localAddressCombo
    PortPrompt* portPrompt = nullptr;         // the port selection dialog (ComNumber 0)
    const MsClock* clock = nullptr;           // nullptr: the system's tick clock
    int reopenPeriodMs = static_cast<int>(kRetryPeriodMs);   // how often a lost port is retried
    int heartbeatMs = static_cast<int>(kHeartbeatPeriodMs);  // the heartbeat period
    JournalSink* journal = nullptr;                          // the event journal; nullptr: none
};

// The running station behind the main window: start-up, Apply, the reports of channels that wait
// for their receive port or COM port, the diagnostics log's clearing and the end of the program. It
// owns the channel table and the rest of the shared state, the default error report, the station
// loop (the sixteen channels' endpoints, ports and protocols, on a thread of their own) and the
// channel editor; it shows what the loop reports in the window and wires the window's controls.
class Station {
  public:
    Station(MainWindow& window, StationOptions options);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // The window's show handler: pairs, stored channels, the channel list, activation of every
    // stored channel, then the warnings.
    void startUp();
    // Makes the edited table the stored and then the running configuration. When it cannot be
    // stored, the channels run on as they were.
    void apply();
    // Asks, then clears the diagnostics log.
    void clearDiagnosticsLog();
    // The operator confirmed the end: every pending datagram ends without a reply, every endpoint
    // and port closes.
    void shutdown();

    SharedState& state() { return state_; }
    // The default error report: failures that no handler catches are shown through it.
    BoxErrorReport& errors() { return errors_; }
    StationLoop& loop() { return loop_; }
    StationDisplay& display() { return display_; }
    ChannelEditor& editor() { return editor_; }
    // Shows what the loop has reported so far (the window's event loop does it by itself).
    void showReports();

  private:
    // ---- the steps of start-up ----
    // Empties the port list and the address fields, and lists this computer's addresses.
    void clearStartupFields();
    // The discovered pairs as the items of the port list.
    void showDiscoveredPairs(const PairDiscovery& discovery);
    // The message that no pair exists, then the close question: No keeps the window, empty.
    void askToEndWithoutPairs();
    // The stored local address and receive port in their fields.
    void showStoredFields(const ChannelLoad& load);
    // One group per channel whose pair was found; the first channel shown in the editor.
    void listChannels(const StartupPlan& plan);
    void showStoreWarnings(const StartupPlan& plan);
    void showPairCheckMessages(const StartupPlan& plan);

    // ---- the steps of Apply ----
    // Refuses Apply without a receive port; answers whether it may go on.
    bool receivePortFilledIn();
    // Stores the table; on failure says so and answers false (the channels run on as they were).
    bool storeConfiguration(bool anyChannel);
    // Every channel stops before any starts again.
    void stopChannels();

    // Brings every occupied slot up (the endpoints listen on every local address), after the
    // window has resolved each COM port, asking the operator where a channel's ComIn names none.
    ActivationPass activateAll();
    // Ports that could not be opened, in one report.
    void reportPortFailures(const std::vector<std::string>& failures);
    // Receive ports that could not be bound, in one message; the channels stay configured.
    void reportBindFailures(const ActivationPass& pass);
    // Both reports of a pass; answers whether there was anything to report.
    bool reportActivationFailures(const ActivationPass& pass);
    void updateListButtons();

    MainWindow& window_;
    Registry& registry_;
    std::vector<std::string> localAddresses_;
    PortPrompt* portPrompt_;
    QObject reportContext_;  // queued report deliveries die with it
    BoxErrorReport errors_;
    SharedState state_;  // channel table, discovered pairs, log line count
    StationDisplay display_;
    ChannelEditor editor_;
    JournalSink* journal_;
    std::string runningChannels_;  // the applied configuration, as the journal names it
    StationLoop loop_;             // last: its thread ends before anything it reports to goes
};

}  // namespace lan2com
