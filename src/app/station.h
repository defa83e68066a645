#pragma once

#include <memory>
#include <string>
#include <vector>

#include "channels/channel_runtime.h"
#include "platform/registry.h"
#include "platform/tick_clock.h"
#include "relay/relay.h"
#include "ui/channel_editor.h"

namespace lan2com {

class TS_Form;

// What the station is built from besides the window.
struct StationOptions {
    Registry* registry = nullptr;             // the configuration store; required
    std::vector<std::string> localAddresses;  // this computer's addresses, for edtIP
    PortPrompt* portPrompt = nullptr;         // the port selection dialog (ComNumber 0)
    const MsClock* clock = nullptr;           // nullptr: the system's tick clock
    int reopenPeriodMs = 5000;                // how often a lost COM port is tried again
};

// The running station behind the main window: start-up, Apply, the reports of channels that wait
// for their receive port or COM port, the diagnostics log's clearing and the end of the program. It
// owns the sixteen channels' endpoints and ports (through the runtime), the relay and the channel
// editor, and wires them to the window's controls.
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

    ChannelRuntime& runtime() { return runtime_; }
    Relay& relay() { return relay_; }
    ChannelEditor& editor() { return editor_; }

  private:
    // Ports that could not be opened, in one report.
    void reportPortFailures(const std::vector<std::string>& failures);
    // Receive ports that could not be bound, in one message; the channels stay configured.
    void reportBindFailures(const ChannelRuntime::PassResult& pass);
    void updateListButtons();

    TS_Form& form_;
    Registry& registry_;
    std::vector<std::string> localAddresses_;
    const MsClock& clock_;
    ChannelRuntime runtime_;
    Relay relay_;
    ChannelEditor editor_;
};

}  // namespace lan2com
