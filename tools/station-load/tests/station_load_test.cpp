#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "flood.h"
#include "load.h"
#include "proc_stats.h"
#include "relay/conversion.h"
#include "soak_ledger.h"

namespace stationload {
namespace {

using namespace std::chrono_literals;
using Kind = alarmsim::ReceiverLine::Kind;

TEST(StationLoadProc, StatAndStatusTextsAreRead) {
    // The command name may hold blanks and parentheses; only the last ')' ends it.
    const std::string stat =
        "4242 (lan2com (x) y) S 1 4242 4242 0 -1 4194560 1200 0 0 0 731 269 0 0 20 0 9 0 5000";
    EXPECT_EQ(parseStatCpuTicks(stat), 1000);
    EXPECT_EQ(parseStatCpuTicks("4242 (cut) S 1 2 3"), std::nullopt);
    EXPECT_EQ(parseStatCpuTicks("no parenthesis at all"), std::nullopt);
    EXPECT_EQ(parseStatCpuTicks("1 (a) S 1 1 1 0 -1 0 0 0 0 0 7x 2"), std::nullopt);

    const std::string status =
        "Name:\tlan2com\nVmRSS:\t   41236 kB\nThreads:\t9\n"
        "voluntary_ctxt_switches:\t150\nnonvoluntary_ctxt_switches:\t7\n";
    EXPECT_EQ(parseStatusNumber(status, "VmRSS"), 41236);
    EXPECT_EQ(parseStatusNumber(status, "voluntary_ctxt_switches"), 150);
    EXPECT_EQ(parseStatusNumber(status, "nonvoluntary_ctxt_switches"), 7);
    EXPECT_EQ(parseStatusNumber(status, "VmSwap"), std::nullopt);
    EXPECT_EQ(parseStatusNumber("Name:\tx\n", "Name"), std::nullopt);  // no number
}

TEST(StationLoadProc, SampleCountsEveryThreadAndItsSwitches) {
    // A child of two threads, one of them waking every millisecond.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::thread sleeper([] {
            for (;;) {
                std::this_thread::sleep_for(1ms);
            }
        });
        std::this_thread::sleep_for(10s);
        _exit(0);
    }
    std::this_thread::sleep_for(50ms);
    const auto before = sampleProcess(child);
    std::this_thread::sleep_for(100ms);
    const auto after = sampleProcess(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(before.has_value());
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->threads(), 2);
    EXPECT_GT(after->rssKb, 0);
    EXPECT_GE(wakeupsBetween(*before, *after), 20);
    EXPECT_EQ(sampleProcess(child), std::nullopt);  // gone

    // Thread 2 ended between the samples and thread 3 began: neither may count against thread 1.
    const ProcRates r = ratesBetween(ProcSample{1.0, 0, {{1, 100}, {2, 900}}},
                                     ProcSample{1.05, 0, {{1, 550}, {3, 50}}}, 10);
    EXPECT_NEAR(r.cpuPercent, 0.5, 1e-9);
    EXPECT_NEAR(r.wakeupsPerSecond, 50, 1e-9);
}

TEST(StationLoadProc, PercentileTakesTheNearestRank) {
    std::vector<double> v;
    for (int i = 1; i <= 200; ++i) {
        v.push_back(i);
    }
    EXPECT_EQ(alarmsim::percentile(v, 0.99), 198);
    EXPECT_EQ(alarmsim::percentile(v, 0.5), 101);
    EXPECT_EQ(alarmsim::percentile({3.0}, 0.99), 3.0);
    EXPECT_EQ(alarmsim::percentile({}, 0.5), 0.0);
}

alarmsim::ReceiverLine lineOf(std::uint64_t number, int channel) {
    const auto datagram = eventDatagram(number);
    const std::string line =
        lan2com::CId2SG(lan2com::Data2CId(datagram.data(), datagram.size()), channel, 2);
    return alarmsim::decodeLine({line.begin(), line.end()});
}

TEST(StationLoadEvents, EveryNumberComesBackFromItsLine) {
    for (const std::uint64_t n :
         {0ULL, 1ULL, 0xFFFULL, 0x1000ULL, 0x9ABCDEF12ULL, 0xFFFFFFFFFULL}) {
        const auto line = lineOf(n, 7);
        ASSERT_EQ(line.kind, Kind::Event) << n;
        EXPECT_EQ(line.channel, 7);
        EXPECT_EQ(numberOf(line), n);
    }
    auto other = lineOf(5, 1);
    other.event = "131";
    EXPECT_EQ(numberOf(other), std::nullopt);
}

TEST(StationLoadFlood, ValidEventsFromTheWrongAddressAndTheirCount) {
    const int sink = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ASSERT_GE(sink, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(sink, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::getsockname(sink, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const std::string port = std::to_string(ntohs(address.sin_port));

    ::testing::internal::CaptureStdout();
    const int status = runFlood({"0.05", port});
    const std::string report = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(status, 0) << report;
    unsigned long long sent = 0;
    double seconds = 0;
    ASSERT_TRUE(parseFloodReport(report, sent, seconds)) << report;
    EXPECT_GE(seconds, 0.05);

    unsigned long long received = 0;
    std::uint8_t buffer[64];
    sockaddr_in from{};
    length = sizeof from;
    ssize_t n = 0;
    while ((n = ::recvfrom(sink, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from),
                           &length)) >= 0) {
        ++received;
        char source[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &from.sin_addr, source, sizeof source);
        ASSERT_EQ(std::string(source), kFloodSource);
        ASSERT_EQ(n, 16);
        const std::string line = lan2com::CId2SG(lan2com::Data2CId(buffer, 16), 1, 2);
        const auto number = numberOf(alarmsim::decodeLine({line.begin(), line.end()}));
        ASSERT_TRUE(number.has_value()) << line;
        EXPECT_GE(*number, kFloodNumbers);
    }
    ::close(sink);
    EXPECT_GT(received, 0u);
    EXPECT_GE(sent, received);

    EXPECT_EQ(runFlood({"1"}), 2);
    EXPECT_EQ(runFlood({"1", "70000"}), 2);
    EXPECT_FALSE(parseFloodReport("lan2com: something else\n", sent, seconds));
}

class SoakLedgerTest : public ::testing::Test {
  protected:
    // Channel indexes 0 and 1 carry the numbers 1 and 5: with and without the timed-out drop.
    SoakLedger ledger{{1, 5}};
    SoakLedger::Clock::time_point t0 = SoakLedger::Clock::now();
};

TEST_F(SoakLedgerTest, ARunThatAddsUpHasNoFailures) {
    for (std::uint64_t n = 1; n <= 4; ++n) {
        const std::size_t i = n % 2;
        const auto sent = t0 + std::chrono::milliseconds(100 * n);
        ledger.sent(i, n, sent);
        EXPECT_EQ(ledger.open(), 1u);
        ledger.line(i, lineOf(n, i == 0 ? 1 : 5), sent + 2ms);
        ledger.reply(i, true, sent + 3ms);
    }
    alarmsim::ReceiverLine heartbeat;
    heartbeat.kind = Kind::Heartbeat;
    ledger.line(0, heartbeat, t0);
    ledger.finish();
    const SoakCounts& c = ledger.counts();
    EXPECT_EQ(c.failures(), 0u);
    EXPECT_EQ(c.answered, 4u);
    EXPECT_EQ(c.heartbeats, 1u);
    EXPECT_EQ(ledger.open(), 0u);
    EXPECT_EQ(ledger.takeLatencies(), std::vector<double>(4, 3.0));
}

TEST_F(SoakLedgerTest, EachWayOfGoingWrongIsCounted) {
    ledger.sent(0, 1, t0);  // never reaches the monitor
    ledger.sent(0, 2, t0);
    ledger.line(0, lineOf(2, 1), t0 + 1ms);
    ledger.reply(0, true, t0 + 2ms);
    ledger.line(0, lineOf(2, 1), t0 + 3ms);  // again
    ledger.sent(0, 3, t0);
    ledger.line(0, lineOf(3, 1), t0 + 1ms);   // acknowledged at once, never answered
    ledger.line(0, lineOf(3, 5), t0 + 1ms);   // another channel's number on this port
    ledger.line(1, lineOf(3, 5), t0 + 1ms);   // an event sent on another channel
    ledger.line(0, lineOf(99, 1), t0 + 1ms);  // sent nowhere
    ledger.reply(1, true, t0);                // answers nothing
    ledger.reply(1, false, t0);               // not "OK"
    ledger.sent(1, 4, t0);
    ledger.reply(1, true, t0 + 1ms);  // before the line was acknowledged
    ledger.line(1, lineOf(4, 5), t0 + 2ms);
    ledger.finish();
    const SoakCounts& c = ledger.counts();
    EXPECT_EQ(c.lost, 1u);
    EXPECT_EQ(c.duplicated, 1u);
    EXPECT_EQ(c.unanswered, 1u);
    EXPECT_EQ(c.strayLines, 3u);
    EXPECT_EQ(c.extraReplies, 2u);
    EXPECT_EQ(c.answeredEarly, 1u);
    EXPECT_EQ(c.failures(), 9u);
    EXPECT_EQ(ledger.firstFailures().size(), 9u);
}

TEST_F(SoakLedgerTest, ALateAcknowledgementExcusesTheTimeoutAndItsDropsOnly) {
    for (std::size_t i : {0u, 1u}) {
        const int channel = i == 0 ? 1 : 5;
        const std::uint64_t base = 10 * (i + 1);
        ledger.sent(i, base, t0);
        ledger.sent(i, base + 1, t0 + 350ms);  // reaches the channel while it is timed out
        ledger.line(i, lineOf(base, channel), t0 + 400ms);  // too late: the relay timed out
        ledger.sent(i, base + 2, t0 + 500ms);
        ledger.line(i, lineOf(base + 2, channel), t0 + 501ms);
        // The answer belongs to the event acknowledged in time, not the older one.
        ledger.reply(i, true, t0 + 502ms);
    }
    ledger.finish();
    const SoakCounts& c = ledger.counts();
    EXPECT_EQ(c.timedOut, 2u);
    EXPECT_EQ(c.droppedWhileTimedOut, 1u);  // channel 5 drops by design
    EXPECT_EQ(c.lost, 1u);                  // channel 1 never does
    EXPECT_EQ(c.unanswered, 0u);
    EXPECT_EQ(c.failures(), 1u);
    EXPECT_EQ(ledger.takeLatencies(), std::vector<double>(2, 2.0));
}

TEST_F(SoakLedgerTest, AChannelWithoutLinesWhileEventsWaitHasStalled) {
    ledger.sent(0, 1, t0);
    ledger.sent(1, 2, t0);
    ledger.line(1, lineOf(2, 5), t0 + 20s);
    EXPECT_EQ(ledger.stalledChannel(t0 + 10s, 30s), std::nullopt);
    ledger.sent(1, 3, t0 + 21s);
    EXPECT_EQ(ledger.stalledChannel(t0 + 40s, 30s), std::optional<std::size_t>(0));
    ledger.line(0, lineOf(1, 1), t0 + 41s);
    EXPECT_EQ(ledger.stalledChannel(t0 + 45s, 30s), std::nullopt);
    EXPECT_EQ(ledger.stalledChannel(t0 + 52s, 30s), std::optional<std::size_t>(1));
}

}  // namespace
}  // namespace stationload
