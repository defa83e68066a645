#pragma once

// The soak test's account of every event: sent, its line read by the monitor of its own channel
// (once), and answered "OK" on that channel (once). What does not add up is a failure.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "sim_codec.h"

namespace stationload {

struct SoakCounts {
    std::uint64_t sent = 0;
    std::uint64_t lines = 0;     // event lines, each counted once
    std::uint64_t answered = 0;  // events answered "OK"
    std::uint64_t heartbeats = 0;
    // Events whose line was acknowledged more than kSlowAck after they were sent and that the
    // relay, having timed out as it must, did not answer; and on channels 5 to 16 events that
    // reached such a timed-out channel before the late acknowledgement did, which the relay drops
    // by design. Not failures: they say that the machine held a process up for that long.
    std::uint64_t timedOut = 0;
    std::uint64_t droppedWhileTimedOut = 0;
    // Failures.
    std::uint64_t lost = 0;           // no line
    std::uint64_t duplicated = 0;     // a line seen again
    std::uint64_t unanswered = 0;     // acknowledged in time, never answered
    std::uint64_t answeredEarly = 0;  // "OK" before the monitor acknowledged the event's line
    std::uint64_t extraReplies = 0;   // a reply to nothing, or a datagram that is no answer
    std::uint64_t strayLines = 0;     // garbled, of another channel, or of no event sent
    std::uint64_t failures() const {
        return lost + duplicated + unanswered + answeredEarly + extraReplies + strayLines;
    }
};

class SoakLedger {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kSlowAck{250};

    // channelNumbers[i]: the number that lines of channel index i carry.
    explicit SoakLedger(std::vector<int> channelNumbers);

    void sent(std::size_t index, std::uint64_t number, Clock::time_point at);
    // A frame read by the monitor of channel `index` and acknowledged at `ackedAt`.
    void line(std::size_t index, const alarmsim::ReceiverLine& line, Clock::time_point ackedAt);
    // A datagram received by the transceiver of channel `index`.
    void reply(std::size_t index, bool isAnswer, Clock::time_point at);
    // Settles the run: what is still without line or answer is lost or unanswered.
    void finish();

    const SoakCounts& counts() const { return counts_; }
    // The events still waiting for their line or their answer.
    std::size_t open() const;
    // A channel that has had no line for `limit` although an event sent longer ago than that
    // still waits for one: the relay has stalled there.
    std::optional<std::size_t> stalledChannel(Clock::time_point now, Clock::duration limit) const;
    // Times from sending to the answer since the last call, in ms (unsorted).
    std::vector<double> takeLatencies();
    // The first failures, described (at most 20).
    const std::vector<std::string>& firstFailures() const { return failures_; }

  private:
    struct Event {
        std::size_t index = 0;
        Clock::time_point sentAt;
        Clock::time_point ackedAt;
        int lines = 0;
        bool slowAck = false;
        bool answered = false;
    };

    void fail(std::uint64_t& counter, const std::string& what);

    std::vector<int> channelNumbers_;
    std::unordered_map<std::uint64_t, Event> events_;
    // Per channel: every event in the order sent; those without a line yet; those whose line came
    // and whose answer has not; when the last line came.
    std::vector<std::vector<std::uint64_t>> sentOrder_;
    std::vector<std::deque<std::uint64_t>> waitingLine_;
    std::vector<std::deque<std::uint64_t>> awaitingAnswer_;
    std::vector<Clock::time_point> lastLine_;
    std::vector<double> latencies_;
    SoakCounts counts_;
    std::vector<std::string> failures_;
    bool finished_ = false;
};

}  // namespace stationload
