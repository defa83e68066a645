#include "soak_ledger.h"

#include <algorithm>

#include "load.h"

namespace stationload {

SoakLedger::SoakLedger(std::vector<int> channelNumbers)
    : channelNumbers_(std::move(channelNumbers)),
      sentOrder_(channelNumbers_.size()),
      waitingLine_(channelNumbers_.size()),
      awaitingAnswer_(channelNumbers_.size()),
      lastLine_(channelNumbers_.size(), Clock::now()) {}

void SoakLedger::fail(std::uint64_t& counter, const std::string& what) {
    ++counter;
    if (failures_.size() < 20) {
        failures_.push_back(what);
    }
}

void SoakLedger::sent(std::size_t index, std::uint64_t number, Clock::time_point at) {
    Event e;
    e.index = index;
    e.sentAt = at;
    events_[number] = e;
    sentOrder_[index].push_back(number);
    waitingLine_[index].push_back(number);
    ++counts_.sent;
}

void SoakLedger::line(std::size_t index, const alarmsim::ReceiverLine& line,
                      Clock::time_point ackedAt) {
    const std::string where = "channel " + std::to_string(channelNumbers_[index]);
    if (line.kind == alarmsim::ReceiverLine::Kind::Heartbeat) {
        ++counts_.heartbeats;
        return;
    }
    const auto number = numberOf(line);
    if (!number || line.channel != channelNumbers_[index]) {
        fail(counts_.strayLines,
             where + ": a line of no event sent there: " + alarmsim::describeLine(line));
        return;
    }
    const auto found = events_.find(*number);
    if (found == events_.end() || found->second.index != index) {
        fail(counts_.strayLines,
             where + ": a line of no event sent there: " + alarmsim::describeLine(line));
        return;
    }
    Event& e = found->second;
    lastLine_[index] = ackedAt;
    if (++e.lines > 1) {
        fail(counts_.duplicated, where + ": the line of event " + std::to_string(*number) +
                                     " came again: " + alarmsim::describeLine(line));
        return;
    }
    ++counts_.lines;
    e.ackedAt = ackedAt;
    e.slowAck = ackedAt - e.sentAt > kSlowAck;
    auto& waiting = waitingLine_[index];
    waiting.erase(std::find(waiting.begin(), waiting.end(), *number));
    if (!e.answered) {  // not answered early
        awaitingAnswer_[index].push_back(*number);
    }
}

void SoakLedger::reply(std::size_t index, bool isAnswer, Clock::time_point at) {
    const std::string where = "channel " + std::to_string(channelNumbers_[index]);
    if (!isAnswer) {
        fail(counts_.extraReplies, where + ": a datagram that is no answer \"OK\" from the relay");
        return;
    }
    // Answers come in the order of the lines. One whose acknowledgement came in time must be
    // answered, so it takes this answer before an older one that may have timed out.
    auto& awaiting = awaitingAnswer_[index];
    auto it = std::find_if(awaiting.begin(), awaiting.end(),
                           [&](std::uint64_t n) { return !events_[n].slowAck; });
    if (it == awaiting.end()) {
        it = awaiting.begin();
    }
    if (it == awaiting.end()) {
        // The monitor acknowledges a line before the relay can answer it, so an answer that
        // finds no acknowledged line came early, on the acknowledgement of an earlier line: the
        // transceiver was told that an event it sent arrived before the station confirmed it.
        auto& waiting = waitingLine_[index];
        const auto early = std::find_if(waiting.begin(), waiting.end(),
                                        [&](std::uint64_t n) { return !events_[n].answered; });
        if (early == waiting.end()) {
            fail(counts_.extraReplies, where + ": an \"OK\" that answers no event");
            return;
        }
        events_[*early].answered = true;
        fail(counts_.answeredEarly, where + ": event " + std::to_string(*early) +
                                        " answered \"OK\" before the monitor acknowledged it");
        return;
    }
    Event& e = events_[*it];
    e.answered = true;
    latencies_.push_back(std::chrono::duration<double, std::milli>(at - e.sentAt).count());
    ++counts_.answered;
    awaiting.erase(it);
}

void SoakLedger::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    for (std::size_t index = 0; index < sentOrder_.size(); ++index) {
        const std::string where = "channel " + std::to_string(channelNumbers_[index]);
        // Until when the channel was timed out after an unanswered late acknowledgement.
        std::optional<Clock::time_point> timedOutUntil;
        for (const std::uint64_t number : sentOrder_[index]) {
            const Event& e = events_[number];
            if (e.lines == 0) {
                if (channelNumbers_[index] >= 5 && timedOutUntil && e.sentAt < *timedOutUntil) {
                    ++counts_.droppedWhileTimedOut;
                } else {
                    fail(counts_.lost, where + ": event " + std::to_string(number) +
                                           " never reached the monitor");
                }
            } else if (!e.answered) {
                if (e.slowAck) {
                    ++counts_.timedOut;
                    timedOutUntil = e.ackedAt + std::chrono::milliseconds(50);
                } else {
                    fail(counts_.unanswered, where + ": event " + std::to_string(number) +
                                                 " was acknowledged in time but not answered");
                }
            }
        }
    }
}

std::size_t SoakLedger::open() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < waitingLine_.size(); ++i) {
        n += waitingLine_[i].size() + awaitingAnswer_[i].size();
    }
    return n;
}

std::optional<std::size_t> SoakLedger::stalledChannel(Clock::time_point now,
                                                      Clock::duration limit) const {
    for (std::size_t i = 0; i < waitingLine_.size(); ++i) {
        if (waitingLine_[i].empty() || now - lastLine_[i] < limit) {
            continue;
        }
        const auto first = events_.find(waitingLine_[i].front());
        if (first != events_.end() && now - first->second.sentAt >= limit) {
            return i;
        }
    }
    return std::nullopt;
}

std::vector<double> SoakLedger::takeLatencies() {
    std::vector<double> taken;
    taken.swap(latencies_);
    return taken;
}

}  // namespace stationload
