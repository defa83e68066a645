#pragma once

// The monitoring-software side of alarm-sim: reads the lines of a COM port and answers them.

#include <chrono>
#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

#include "platform/wait_set.h"
#include "serial/com_port.h"
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
    std::uint64_t answersLost = 0;  // answers that never reached the port (it failed or closed)
};

// "2025-03-01 14:05:09.042", local time.
std::string timestamp(std::chrono::system_clock::time_point at);

// Opens COMn through the program's own serial port and answers what comes in. Single-threaded:
// the port is served only while runFor() or finish() waits.
class Monitor {
  public:
    Monitor(const MonitorOptions& options, std::ostream& out);
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

    // One wait on the port, until the given time at the latest, and what it brought.
    void serviceUntil(Clock::time_point until);
    void handleFrame(const std::vector<std::uint8_t>& frame);
    void answer(std::uint8_t byte);
    void sendDue(bool all);
    void writeAnswers();
    void noteFailure();

    MonitorOptions options_;
    std::ostream& out_;
    lan2com::WaitSet waits_;
    lan2com::ComPort port_;
    std::vector<std::uint8_t> received_;
    LineSplitter splitter_;
    std::deque<Due> due_;  // in time order: every answer has the same delay
    // Answers that fall due while the port's output buffer is full: they go out in order as it
    // empties, so that a slow far end loses none.
    std::deque<std::uint8_t> unwritten_;
    MonitorSummary summary_;
    std::string failure_;
    bool finished_ = false;
};

}  // namespace alarmsim
