#include "soak.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "load.h"
#include "proc_stats.h"
#include "relays.h"
#include "soak_ledger.h"

namespace stationload {
namespace {

constexpr auto kReport = std::chrono::seconds(30);
constexpr auto kMemorySample = std::chrono::seconds(5);
constexpr auto kStall = std::chrono::seconds(30);
constexpr long long kGrowthLimitKb = 5 * 1024;

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

void printPeriod(double elapsed, const SoakLedger& ledger, std::vector<double> latencies,
                 const ProcSample& before, const ProcSample& now, double seconds) {
    std::sort(latencies.begin(), latencies.end());
    const SoakCounts& c = ledger.counts();
    const ProcRates rates = ratesBetween(before, now, seconds);
    std::printf(
        "%7.0f s  sent %llu  lines %llu  answered %llu  open %zu  failures %llu  timed out %llu"
        "  |  latency median %.2f ms  p99 %.2f ms  |  lan2com %.1f %% CPU  %.0f wake-ups/s  "
        "RSS %.1f MB\n",
        elapsed, static_cast<unsigned long long>(c.sent), static_cast<unsigned long long>(c.lines),
        static_cast<unsigned long long>(c.answered), ledger.open(),
        static_cast<unsigned long long>(c.failures()),
        static_cast<unsigned long long>(c.timedOut + c.droppedWhileTimedOut),
        alarmsim::percentile(latencies, 0.5), alarmsim::percentile(latencies, 0.99),
        rates.cpuPercent, rates.wakeupsPerSecond, static_cast<double>(now.rssKb) / 1024.0);
    std::fflush(stdout);
}

}  // namespace

int runSoak(const SoakOptions& options) {
    const StationHome home(16);
    const auto duration = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.minutes * 60));
    const auto warmUp = std::min<Clock::duration>(std::chrono::seconds(60), duration / 4);
    std::printf(
        "station-load soak: 16 channels on vcom-pair pairs in %s, %.0f events/s for %.1f min "
        "(memory baseline after %.0f s)\n",
        home.root().c_str(), options.rate, options.minutes,
        std::chrono::duration<double>(warmUp).count());
    Load load(home.channels());
    auto lan2com = startLan2com(home);
    const double startSeconds =
        waitUntilAnswering(load, *lan2com, std::chrono::seconds(60)).count();
    std::printf("every channel answers after %.2f s\n", startSeconds);

    std::vector<int> numbers;
    for (const ChannelSetup& c : home.channels()) {
        numbers.push_back(c.channel);
    }
    SoakLedger ledger(numbers);
    Load::Handlers handlers;
    handlers.onLine = [&](std::size_t i, const alarmsim::ReceiverLine& line, Clock::time_point at) {
        ledger.line(i, line, at);
    };
    handlers.onReply = [&](std::size_t i, const std::vector<std::uint8_t>& datagram, bool fromRelay,
                           Clock::time_point at) {
        ledger.reply(i, isAnswer(datagram, fromRelay), at);
    };

    std::vector<std::string> faults;
    const auto start = Clock::now();
    const auto end = start + duration;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate));
    std::uint64_t next = 0;  // events numbered from 1; event k goes to channel k mod 16
    auto nextSend = start;
    auto nextCheck = start;
    auto nextMemory = start + kMemorySample;
    auto nextReport = start + kReport;
    std::optional<ProcSample> first = sampleProcess(lan2com->pid());
    ProcSample periodStart = first.value_or(ProcSample{});
    auto periodFrom = start;
    std::optional<long long> baselineKb;
    long long lastKb = 0;
    long long peakKb = 0;
    while (Clock::now() < end && faults.empty() && !stopRequested()) {
        auto now = Clock::now();
        while (nextSend <= now && nextSend < end) {
            ++next;
            const std::size_t index = next % load.size();
            const auto datagram = eventDatagram(next);
            ledger.sent(index, next, load.send(index, datagram.data(), datagram.size()));
            nextSend += interval;
        }
        if (now >= nextCheck) {
            if (!lan2com->running()) {
                faults.push_back("lan2com ended during the run (" + lan2com->exitText() +
                                 "); the end of its log:\n" + lan2com->logTail(15));
                break;
            }
            if (const auto stalled = ledger.stalledChannel(now, kStall)) {
                faults.push_back("channel " + std::to_string(load.channel(*stalled).channel) +
                                 " has written no line for 30 s although events wait");
            }
            nextCheck = now + std::chrono::milliseconds(100);
        }
        if (now >= nextMemory) {
            if (const auto s = sampleProcess(lan2com->pid())) {
                lastKb = s->rssKb;
                peakKb = std::max(peakKb, lastKb);
                if (!baselineKb && now - start >= warmUp) {
                    baselineKb = lastKb;
                }
            }
            nextMemory += kMemorySample;
        }
        if (now >= nextReport) {
            if (const auto s = sampleProcess(lan2com->pid())) {
                printPeriod(secondsBetween(start, now), ledger, ledger.takeLatencies(), periodStart,
                            *s, secondsBetween(periodFrom, now));
                periodStart = *s;
                periodFrom = now;
            }
            nextReport += kReport;
        }
        load.poll(std::min({nextSend, nextCheck, nextMemory, nextReport, end}), handlers);
    }
    const bool interrupted = stopRequested();
    const double ranSeconds = secondsBetween(start, Clock::now());

    // The last events: their lines and answers, for up to 5 s.
    const auto settle = Clock::now() + std::chrono::seconds(5);
    while (ledger.open() > 0 && Clock::now() < settle && faults.empty()) {
        load.poll(std::min(settle, Clock::now() + std::chrono::milliseconds(100)), handlers);
        if (!lan2com->running()) {
            break;
        }
    }
    ledger.finish();
    std::vector<double> all = ledger.takeLatencies();
    if (const auto s = sampleProcess(lan2com->pid())) {
        printPeriod(ranSeconds, ledger, all, periodStart, *s,
                    secondsBetween(periodFrom, Clock::now()));
        lastKb = s->rssKb;
        peakKb = std::max(peakKb, lastKb);
    }
    const auto total = sampleProcess(lan2com->pid());
    if (lan2com->running() && !lan2com->terminate(std::chrono::seconds(10))) {
        faults.push_back("lan2com did not end in order on SIGTERM (" + lan2com->exitText() + ")");
    } else if (!lan2com->running() && faults.empty() && lan2com->exitText() != "exit status 0") {
        faults.push_back("lan2com ended with " + lan2com->exitText());
    }

    const SoakCounts& c = ledger.counts();
    std::printf("\nsoak of %.0f s at %.0f events/s over 16 channels%s\n", ranSeconds, options.rate,
                interrupted ? " (interrupted)" : "");
    std::printf("  events sent %llu, lines %llu, answered %llu, heartbeat lines %llu\n",
                static_cast<unsigned long long>(c.sent), static_cast<unsigned long long>(c.lines),
                static_cast<unsigned long long>(c.answered),
                static_cast<unsigned long long>(c.heartbeats));
    std::printf(
        "  lost %llu, duplicated %llu, acknowledged in time but unanswered %llu, answered before "
        "acknowledged %llu, replies to nothing %llu, stray lines %llu\n",
        static_cast<unsigned long long>(c.lost), static_cast<unsigned long long>(c.duplicated),
        static_cast<unsigned long long>(c.unanswered),
        static_cast<unsigned long long>(c.answeredEarly),
        static_cast<unsigned long long>(c.extraReplies),
        static_cast<unsigned long long>(c.strayLines));
    std::printf(
        "  timed out after an acknowledgement later than %lld ms: %llu, dropped by a timed-out "
        "channel: %llu\n",
        static_cast<long long>(SoakLedger::kSlowAck.count()),
        static_cast<unsigned long long>(c.timedOut),
        static_cast<unsigned long long>(c.droppedWhileTimedOut));
    if (total && first) {
        const ProcRates rates = ratesBetween(*first, *total, ranSeconds);
        std::printf("  lan2com: %.2f %% of a core, %.0f wake-ups/s, %d threads\n", rates.cpuPercent,
                    rates.wakeupsPerSecond, total->threads());
    }
    if (baselineKb) {
        std::printf(
            "  resident memory: %.1f MB after warm-up, %.1f MB at the end, peak %.1f MB "
            "(growth %+.1f MB, limit +5 MB)\n",
            static_cast<double>(*baselineKb) / 1024, static_cast<double>(lastKb) / 1024,
            static_cast<double>(peakKb) / 1024, static_cast<double>(lastKb - *baselineKb) / 1024);
        if (lastKb - *baselineKb > kGrowthLimitKb) {
            faults.push_back("lan2com's resident memory grew by " +
                             std::to_string((lastKb - *baselineKb) / 1024) +
                             " MB after the warm-up");
        }
    } else {
        std::printf("  resident memory: %.1f MB at the end (run too short for a baseline)\n",
                    static_cast<double>(lastKb) / 1024);
    }
    for (const std::string& f : ledger.firstFailures()) {
        std::printf("  FAIL %s\n", f.c_str());
    }
    for (const std::string& f : faults) {
        std::printf("  FAIL %s\n", f.c_str());
    }
    if (load.acksLost() > 0) {
        std::printf("  acknowledgements the monitors could not write: %llu\n",
                    static_cast<unsigned long long>(load.acksLost()));
    }
    const bool passed = c.failures() == 0 && faults.empty() && !interrupted;
    std::printf("soak %s\n", passed ? "passed" : (interrupted ? "interrupted" : "FAILED"));
    return passed ? 0 : 1;
}

}  // namespace stationload
