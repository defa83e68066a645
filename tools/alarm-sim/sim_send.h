#pragma once

// The transceiver side of alarm-sim: sends events or service packets to a channel and waits for
// the replies.

#include <atomic>
#include <cstdint>
#include <ostream>
#include <vector>

#include "sim_args.h"

namespace alarmsim {

struct SendSummary {
    std::uint64_t sent = 0;
    std::uint64_t answered = 0;    // events answered "OK" in time
    std::uint64_t unanswered = 0;  // events without "OK" within the timeout
    std::uint64_t unexpected =
        0;                      // replies to nothing: late, doubled, to a service packet, not "OK"
    std::uint64_t foreign = 0;  // datagrams from another address or port than the channel's
    std::vector<double> latencyMs;  // of the answered events, sorted
    double seconds = 0;             // from the first send until the last one was settled

    // 0 when the run went as a channel should answer, 3 when not.
    int exitCode(bool service) const;
};

// Binds its socket, sends per the options while it waits for the replies on the calling thread,
// and prints one line per datagram (unless quiet) and the summary to out, flushing each line. A
// raised stop flag ends the run after the current datagram (it is looked at every 100 ms at the
// latest). Socket failures raise the endpoint's exceptions.
SendSummary runSend(const SendOptions& options, std::ostream& out,
                    const std::atomic<bool>* stop = nullptr);

}  // namespace alarmsim
