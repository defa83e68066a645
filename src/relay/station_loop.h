#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channels/channel_table.h"
#include "channels/station_view.h"
#include "journal/journal_row.h"
#include "platform/event_log.h"
#include "platform/tick_clock.h"
#include "serial/serial_device.h"

namespace lan2com {

// The heartbeat period of the station, and how often a lost COM port or a receive port held
// elsewhere is tried again.
constexpr std::uint32_t kHeartbeatPeriodMs = 29000;
constexpr std::uint32_t kRetryPeriodMs = 5000;
// The retry period as the operator's messages give it: in whole seconds.
inline std::string retryPeriodSecondsText() {
    return std::to_string(kRetryPeriodMs / 1000);
}

// What one channel is brought up with: its record, and its COM port as the window resolved it.
struct ChannelSetup {
    int slot = 0;
    ChannelRecord record;
    // The COM number taken from ComIn (or chosen in the port selection dialog); 0 when there is
    // none, and comProblem then says why (the port is not retried: waiting cannot help).
    std::uint16_t comNumber = 0;
    std::string comProblem;
};

// The setup of the channel in the slot: its COM number is what follows the first three
// characters of ComIn (COM12 gives 12); where that is 0, the operator is asked with the prompt
// (none: nobody to ask) before the loop is asked to open the port.
ChannelSetup channelSetup(int slot, const ChannelRecord& record, PortPrompt* prompt);

// The line settings of a channel's COM port: 115200 8N1; com8 and com9 keep RTS off, and com9
// drives an RS-485 line.
LineSettings channelLineSettings(int slot);

// One thing for the window to show.
struct StationReport {
    enum class Type {
        Lamp,         // slot, color
        LampVisible,  // slot, visible
        LogLine,      // text (the window puts the time in front)
        EventEntry,   // pair, peer, digits, level: an event line was written (diagnostics entry)
    };
    Type type = Type::LogLine;
    int slot = 0;
    LampColor color = LampColor::Lime;
    bool visible = false;
    std::string text;
    // LogLine: also for the system's event log (port and binding failures, and their ends), for
    // an unattended station.
    std::optional<EventLogKind> systemLog;
    std::uint8_t pair = 0;
    std::string peer;
    std::string digits;
    std::string level;
};

// What bringing the channels up came to.
struct ActivationPass {
    std::vector<int> bindFailed;        // receive ports held elsewhere, in slot order
    std::vector<int> portOutOfRange;    // receive ports whose low 16 bits are 0
    std::vector<std::string> failures;  // COM ports that could not be opened, in slot order
};

// A channel as the loop has it, for the window's questions and for tests.
struct ChannelStatus {
    bool active = false;      // brought up and not stopped
    bool bindFailed = false;  // waits for its receive port
    bool portFailed = false;  // its COM port is out of service
    bool waiting = false;     // a line waits for its acknowledgement
    bool timedOut = false;
    bool holding = false;           // a datagram of the channel is with the protocol
    std::uint16_t receivePort = 0;  // bound port; 0 when not bound
    std::uint16_t comNumber = 0;    // the number of its open COM port; 0 when not open
};

struct StationLoopOptions {
    std::uint32_t heartbeatMs = kHeartbeatPeriodMs;
    std::uint32_t retryMs = kRetryPeriodMs;
    const MsClock* clock = nullptr;         // nullptr: the system's clock
    SerialDeviceOpener* devices = nullptr;  // nullptr: the operating system's serial devices
    // Runs on the loop's thread when reports start to wait (the queue was empty): the window
    // arranges to take them on its own thread. It must not wait for the window.
    std::function<void()> reportsWaiting;
    // Where every step of every channel's protocol is recorded; nullptr: nowhere. Called on the
    // loop's thread, so it must only queue the row.
    JournalSink* journal = nullptr;
};

// The station's I/O loop: one thread of its own owns every COM port, every datagram endpoint,
// the acknowledgement timeouts, the heartbeat periods and the retries, and runs each channel's
// protocol. It waits in one call of the operating system with the nearest deadline as its
// time-out. A datagram's way (datagram, line, 0x06, "OK") never leaves this thread.
//
// The window commands it with the calls below (each returns when the loop has done it) and takes
// what to show with takeReports(). The loop never waits for the window.
class StationLoop {
  public:
    explicit StationLoop(StationLoopOptions options = {});
    ~StationLoop();  // as shutdown()
    StationLoop(const StationLoop&) = delete;
    StationLoop& operator=(const StationLoop&) = delete;

    // Brings the channels up, in the order given. For each: the receive port is bound (a port
    // held elsewhere is retried every retry period; one whose low 16 bits are 0 never is), the
    // COM port opened (one that cannot be is retried every period unless waiting cannot help),
    // the lamp shown and the heartbeat period started. No failure of one holds another back.
    ActivationPass activate(const std::vector<ChannelSetup>& channels);
    // Every waiting datagram ends without a reply; every endpoint, port, heartbeat and retry
    // stops; every lamp is hidden.
    void stopAll();
    // The end of the program: no reply goes out any more, everything stops, the thread ends.
    // Idempotent.
    void shutdown();

    ChannelStatus status(int slot);

    // Window thread: what to show, oldest first.
    std::vector<StationReport> takeReports();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lan2com
