#include "bench.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "flood.h"
#include "load.h"
#include "proc_stats.h"
#include "relays.h"
#include "sim_codec.h"
#include "soak_ledger.h"

namespace stationload {
namespace {

struct Figures {
    double startSeconds = 0;
    double median = 0;  // ms, datagram sent to "OK" received
    double p99 = 0;
    std::size_t samples = 0;
    double eventsPerSecond = 0;
    double idleCpuPercent = 0;
    double idleWakeups = 0;
    double rssMb = 0;
    int threads = 0;
    std::uint64_t unanswered = 0;  // events without "OK" within a second
    std::uint64_t extraReplies = 0;
};

struct LoopResult {
    std::vector<double> latencyMs;  // sorted
    std::uint64_t answered = 0;
    std::uint64_t unanswered = 0;
    std::uint64_t extra = 0;
    double seconds = 0;
};

// Transceivers on the given channels that send their next event as soon as the previous one is
// answered (or after a second without answer), for a warm-up and then the measured time.
LoopResult closedLoop(Load& load, ChildProcess& relay, const std::vector<std::size_t>& channels,
                      std::chrono::seconds measured, std::uint64_t& number) {
    struct InFlight {
        bool out = false;
        Clock::time_point sentAt;
    };
    std::vector<InFlight> flight(load.size());
    LoopResult result;
    bool measuring = false;
    const auto sendNext = [&](std::size_t i) {
        const auto datagram = eventDatagram(++number);
        flight[i].sentAt = load.send(i, datagram.data(), datagram.size());
        flight[i].out = true;
    };
    Load::Handlers handlers;
    handlers.onReply = [&](std::size_t i, const std::vector<std::uint8_t>& datagram, bool fromRelay,
                           Clock::time_point at) {
        if (!isAnswer(datagram, fromRelay) || !flight[i].out) {
            result.extra += measuring ? 1 : 0;
            return;
        }
        flight[i].out = false;
        if (measuring) {
            ++result.answered;
            result.latencyMs.push_back(
                std::chrono::duration<double, std::milli>(at - flight[i].sentAt).count());
        }
        sendNext(i);
    };
    for (const std::size_t i : channels) {
        sendNext(i);
    }
    const auto warmUpEnd = Clock::now() + std::chrono::seconds(1);
    const auto end = warmUpEnd + measured;
    auto nextCheck = Clock::now();
    while (Clock::now() < end && !stopRequested()) {
        const auto now = Clock::now();
        if (!measuring && now >= warmUpEnd) {
            measuring = true;
        }
        if (now >= nextCheck) {
            checkRunning(relay, "the relay");
            for (const std::size_t i : channels) {
                if (flight[i].out && now - flight[i].sentAt > std::chrono::seconds(1)) {
                    result.unanswered += measuring ? 1 : 0;
                    sendNext(i);
                }
            }
            nextCheck = now + std::chrono::milliseconds(100);
        }
        load.poll(std::min({end, nextCheck, measuring ? end : warmUpEnd}), handlers);
    }
    result.seconds = std::chrono::duration<double>(measured).count();
    load.drain(std::chrono::milliseconds(500));  // the last answers, not counted
    std::sort(result.latencyMs.begin(), result.latencyMs.end());
    return result;
}

Figures measure(const char* name, ChildProcess& relay, Load& load, int seconds,
                std::uint64_t& number) {
    Figures f;
    std::printf("%s: waiting until every channel answers ...\n", name);
    std::fflush(stdout);
    f.startSeconds = waitUntilAnswering(load, relay, std::chrono::seconds(60)).count();

    const auto span = std::chrono::seconds(seconds);
    const LoopResult latency = closedLoop(load, relay, {0, 1, 2, 3}, span, number);
    f.samples = latency.latencyMs.size();
    f.median = alarmsim::percentile(latency.latencyMs, 0.5);
    f.p99 = alarmsim::percentile(latency.latencyMs, 0.99);
    std::vector<std::size_t> all(load.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    const LoopResult throughput = closedLoop(load, relay, all, span, number);
    f.eventsPerSecond = static_cast<double>(throughput.answered) / throughput.seconds;
    f.unanswered = latency.unanswered + throughput.unanswered;
    f.extraReplies = latency.extra + throughput.extra;
    std::printf("%s: %zu latency samples, %llu events in the throughput run\n", name, f.samples,
                static_cast<unsigned long long>(throughput.answered));

    // Idle: the monitors still answer whatever comes (heartbeats). Sampled every quarter of a
    // second, so that a thread that ends meanwhile takes few of its wake-ups with it.
    load.drain(std::chrono::seconds(1));
    checkRunning(relay, name);
    const auto first = sampleProcess(relay.pid());
    auto previous = first;
    const auto from = Clock::now();
    long long wakeups = 0;
    while (previous && Clock::now() - from < span && !stopRequested()) {
        load.drain(std::chrono::milliseconds(250));
        const auto now = sampleProcess(relay.pid());
        if (now) {
            wakeups += wakeupsBetween(*previous, *now);
        }
        previous = now;
    }
    if (!first || !previous) {
        checkRunning(relay, name);
        throw std::runtime_error(std::string("cannot read /proc of ") + name);
    }
    const double idleSeconds = std::chrono::duration<double>(Clock::now() - from).count();
    f.idleCpuPercent = ratesBetween(*first, *previous, idleSeconds).cpuPercent;
    f.idleWakeups = static_cast<double>(wakeups) / idleSeconds;
    f.rssMb = static_cast<double>(previous->rssKb) / 1024.0;
    f.threads = previous->threads();
    return f;
}

struct FloodFigures {
    int seconds = 0;
    SoakCounts events;              // the transceivers' events, accounted as the soak test does
    std::uint64_t inTime = 0;       // of them answered within 1 s
    std::vector<double> latencyMs;  // of every answer, sorted
    std::uint64_t floodLines = 0;   // lines of the flood's events that reached a COM port
    unsigned long long floodSent = 0;
    double floodSeconds = 0;
    double cpuPercent = 0;        // lan2com's, while the flood ran
    double wakeupsPerSecond = 0;  // lan2com's, while the flood ran
    int threads = 0;
};

// lan2com under a flood from the wrong address to all its ports, while every channel's
// transceiver sends an event every 100 ms whatever the answers (the channels spread evenly over
// the period).
FloodFigures underFlood(const StationHome& home, ChildProcess& relay, Load& load, int seconds,
                        std::uint64_t& number) {
    FloodFigures f;
    f.seconds = seconds;
    const auto period = std::chrono::milliseconds(100);
    std::vector<int> channelNumbers;
    for (std::size_t i = 0; i < load.size(); ++i) {
        channelNumbers.push_back(load.channel(i).channel);
    }
    SoakLedger ledger(channelNumbers);
    Load::Handlers handlers;
    handlers.onLine = [&](std::size_t i, const alarmsim::ReceiverLine& line, Clock::time_point at) {
        const auto n = numberOf(line);
        if (n && *n >= kFloodNumbers) {
            ++f.floodLines;
            return;
        }
        ledger.line(i, line, at);
    };
    handlers.onReply = [&](std::size_t i, const std::vector<std::uint8_t>& datagram, bool fromRelay,
                           Clock::time_point at) {
        ledger.reply(i, isAnswer(datagram, fromRelay), at);
    };

    std::printf("lan2com: %d s under a flood from %s with 16 paced transceivers ...\n", seconds,
                kFloodSource);
    std::fflush(stdout);
    auto flood = startFlood(home, seconds);
    const auto before = sampleProcess(relay.pid());
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    std::vector<Clock::time_point> due(load.size());
    for (std::size_t i = 0; i < due.size(); ++i) {
        due[i] = start + period * static_cast<int>(i) / static_cast<int>(due.size());
    }
    auto nextCheck = start;
    while (!stopRequested()) {
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        for (std::size_t i = 0; i < due.size(); ++i) {
            if (now >= due[i]) {
                const auto datagram = eventDatagram(++number);
                ledger.sent(i, number, load.send(i, datagram.data(), datagram.size()));
                due[i] += period;
            }
        }
        if (now >= nextCheck) {
            checkRunning(relay, "lan2com");
            nextCheck = now + std::chrono::milliseconds(500);
        }
        load.poll(std::min(*std::min_element(due.begin(), due.end()), end), handlers);
    }
    const auto after = sampleProcess(relay.pid());
    const double span = std::chrono::duration<double>(Clock::now() - start).count();
    // The answers to the last events may take up to a second.
    const auto settle = Clock::now() + std::chrono::milliseconds(1100);
    while (Clock::now() < settle && !stopRequested()) {
        load.poll(settle, handlers);
    }
    checkRunning(relay, "lan2com");
    if (!before || !after) {
        throw std::runtime_error("cannot read /proc of lan2com");
    }
    const ProcRates rates = ratesBetween(*before, *after, span);
    f.cpuPercent = rates.cpuPercent;
    f.wakeupsPerSecond = rates.wakeupsPerSecond;
    f.threads = after->threads();
    ledger.finish();
    f.events = ledger.counts();
    f.latencyMs = ledger.takeLatencies();
    std::sort(f.latencyMs.begin(), f.latencyMs.end());
    f.inTime = static_cast<std::uint64_t>(std::count_if(f.latencyMs.begin(), f.latencyMs.end(),
                                                        [](double ms) { return ms <= 1000; }));

    const auto floodEnd = Clock::now() + std::chrono::seconds(5);
    while (flood->running() && Clock::now() < floodEnd) {
        load.drain(std::chrono::milliseconds(100));
    }
    if (flood->running() || !parseFloodReport(flood->logTail(5), f.floodSent, f.floodSeconds)) {
        flood->terminate(std::chrono::seconds(1));
        throw std::runtime_error("the flood did not report (" + flood->exitText() +
                                 "); the end of " + flood->logPath() + ":\n" + flood->logTail(15));
    }
    return f;
}

void printFlood(const FloodFigures& f) {
    const SoakCounts& e = f.events;
    const double share =
        e.sent == 0 ? 0.0 : 100.0 * static_cast<double>(f.inTime) / static_cast<double>(e.sent);
    const double rate = f.floodSeconds > 0 ? static_cast<double>(f.floodSent) / f.floodSeconds : 0;
    std::printf(
        "\nlan2com under a flood from %s on all 16 ports, %d s; 16 transceivers from "
        "127.0.0.1, one event every 100 ms each:\n",
        kFloodSource, f.seconds);
    std::printf("%-46s %12s   %-22s\n", "", "lan2com", "target");
    std::printf("%-46s %11.2f%%   %-22s %s\n", "transceivers' events answered within 1 s", share,
                ">= 99 %", share >= 99.0 ? "pass" : "MISS");
    std::printf("%-46s %12.3f\n", "their latency median (ms)",
                alarmsim::percentile(f.latencyMs, 0.5));
    std::printf("%-46s %12.3f\n", "their latency p99 (ms)",
                alarmsim::percentile(f.latencyMs, 0.99));
    std::printf("%-46s %12.0f\n", "flood datagrams per second", rate);
    std::printf("%-46s %12.1f   %-22s %s\n", "lan2com CPU during the flood (% of a core)",
                f.cpuPercent, "< 100 (one core)", f.cpuPercent < 100.0 ? "pass" : "MISS");
    std::printf("%-46s %12.1f\n", "lan2com wake-ups per second during the flood",
                f.wakeupsPerSecond);
    std::printf("events sent %" PRIu64 ", answered %" PRIu64 " (%" PRIu64
                " within 1 s), lost %" PRIu64 ", unanswered %" PRIu64 ", timed out %" PRIu64
                ", dropped while timed out %" PRIu64 ", other failures %" PRIu64 "\n",
                e.sent, e.answered, f.inTime, e.lost, e.unanswered, e.timedOut,
                e.droppedWhileTimedOut,
                e.duplicated + e.answeredEarly + e.extraReplies + e.strayLines);
    std::printf("flood: %llu datagrams in %.2f s; its lines on the COM ports %" PRIu64
                " (must be 0); lan2com threads %d\n",
                f.floodSent, f.floodSeconds, f.floodLines, f.threads);
}

std::string ratio(double mine, double floor) {
    if (floor <= 0) {
        return "-";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", mine / floor);
    return text;
}

void row(const char* what, const char* format, double mine, double floor, const std::string& target,
         bool pass) {
    char a[32];
    char b[32];
    std::snprintf(a, sizeof a, format, mine);
    std::snprintf(b, sizeof b, format, floor);
    std::printf("%-34s %12s %12s %8s   %-22s %s\n", what, a, b, ratio(mine, floor).c_str(),
                target.c_str(), pass ? "pass" : "MISS");
}

}  // namespace

int runBench(int seconds) {
    const StationHome home(16);
    std::printf("station-load bench: 16 channels on vcom-pair pairs in %s, %d s per measurement\n",
                home.root().c_str(), seconds);
    Load load(home.channels());
    std::uint64_t number = 0;

    Figures floor;
    {
        auto relay = startFloor(home);
        floor = measure("floor", *relay, load, seconds, number);
        relay->terminate(std::chrono::seconds(2));
    }
    load.drain(std::chrono::milliseconds(300));
    Figures mine;
    FloodFigures flood;
    {
        auto relay = startLan2com(home);
        mine = measure("lan2com", *relay, load, seconds, number);
        load.drain(std::chrono::milliseconds(300));
        flood = underFlood(home, *relay, load, 2 * seconds, number);
        if (!relay->terminate(std::chrono::seconds(10))) {
            throw std::runtime_error("lan2com did not end in order on SIGTERM (" +
                                     relay->exitText() + ")");
        }
    }

    std::printf("\n%-34s %12s %12s %8s   %-22s\n", "", "lan2com", "floor", "ratio", "target");
    row("latency median, 4 channels (ms)", "%.3f", mine.median, floor.median, "<= 1.15x floor",
        mine.median <= 1.15 * floor.median);
    row("latency p99, 4 channels (ms)", "%.3f", mine.p99, floor.p99, "<= 1.5x floor",
        mine.p99 <= 1.5 * floor.p99);
    row("events per second, 16 channels", "%.0f", mine.eventsPerSecond, floor.eventsPerSecond,
        ">= 0.85x floor", mine.eventsPerSecond >= 0.85 * floor.eventsPerSecond);
    char span[64];
    std::snprintf(span, sizeof span, "idle CPU, 16 channels, %d s (%%)", seconds);
    row(span, "%.3f", mine.idleCpuPercent, floor.idleCpuPercent, "< 0.5 % of a core",
        mine.idleCpuPercent < 0.5);
    row("idle wake-ups per second", "%.1f", mine.idleWakeups, floor.idleWakeups, "< 1 /s",
        mine.idleWakeups < 1);
    row("resident memory, idle (MB)", "%.1f", mine.rssMb, floor.rssMb, "< 60 MB", mine.rssMb < 60);
    std::printf("\nlatency samples: lan2com %zu, floor %zu\n", mine.samples, floor.samples);
    std::printf(
        "threads: lan2com %d (target: the window and the station loop, plus Qt's own), "
        "floor %d\n",
        mine.threads, floor.threads);
    std::printf("until every channel answered: lan2com %.2f s, floor %.2f s\n", mine.startSeconds,
                floor.startSeconds);
    std::printf(
        "events without an answer within 1 s: lan2com %llu, floor %llu; replies to nothing: "
        "lan2com %llu, floor %llu\n",
        static_cast<unsigned long long>(mine.unanswered),
        static_cast<unsigned long long>(floor.unanswered),
        static_cast<unsigned long long>(mine.extraReplies),
        static_cast<unsigned long long>(floor.extraReplies));
    printFlood(flood);
    if (load.acksLost() > 0) {
        std::printf("acknowledgements the monitors could not write: %llu\n",
                    static_cast<unsigned long long>(load.acksLost()));
    }
    if (mine.samples == 0 || floor.samples == 0) {
        std::fprintf(stderr, "station-load: no event was answered\n");
        return 1;
    }
    return 0;
}

}  // namespace stationload
