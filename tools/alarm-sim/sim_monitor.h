#pragma once

// The monitoring-software side of alarm-sim: reads the lines of a COM port and answers them.

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <ostream>
#include <string>

#include "platform/error_report.h"
#include "platform/handover.h"
#include "serial/apd_com_port.h"
#include "sim_args.h"
#include "sim_codec.h"

namespace alarmsim {

struct MonitorSummary {
    std::uint64_t lines = 0;  // every frame, whatever it held
    std::uint64_t events = 0;
    std::uint64_t heartbeats = 0;
    std::uint64_t unknown = 0;
    std::uint64_t acks = 0;  // answers written
    std::uint64_t naks = 0;
    std::uint64_t answersLost = 0;  // answers that the port refused
};

// "2025-03-01 14:05:09.042", local time.
std::string timestamp(std::chrono::system_clock::time_point at);

// Opens COMn through the program's own serial port and answers what comes in. Every call is made
// on the thread that owns the hand-over queue; the queue is driven by runFor() only.
class Monitor {
  public:
    Monitor(const MonitorOptions& options, lan2com::QueueHandover& handover,
            lan2com::ErrorReport& errors, std::ostream& out);
    ~Monitor();

    // Opens the port; raises the port's errors (no such port, already open …).
    void open();
    // Handles the port's events and sends the answers that fall due, for at most the given time;
    // returns earlier when done() or failed().
    void runFor(std::chrono::milliseconds time);
    // The line limit is reached and every answer is out.
    bool done() const;
    // The port failed while open (its far end or the device went away); the message says how.
    bool failed() const { return !failure_.empty(); }
    const std::string& failure() const { return failure_; }
    // Sends the answers still due (without their delay), reports an unfinished last frame, closes
    // the port and prints the summary.
    void finish();

    const MonitorSummary& summary() const { return summary_; }

  private:
    using Clock = std::chrono::steady_clock;
    struct Due {
        Clock::time_point at;
        std::uint8_t byte;
    };

    void onData(std::uint16_t count);
    void handleFrame(const std::vector<std::uint8_t>& frame);
    void answer(std::uint8_t byte);
    void sendDue(bool all);

    MonitorOptions options_;
    lan2com::QueueHandover& handover_;
    std::ostream& out_;
    std::unique_ptr<lan2com::TApdComPort> port_;
    LineSplitter splitter_;
    std::deque<Due> due_;  // in time order: every answer has the same delay
    MonitorSummary summary_;
    std::string failure_;
    bool finished_ = false;
};

}  // namespace alarmsim
