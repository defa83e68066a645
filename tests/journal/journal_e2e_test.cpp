// The built program with its event journal: every outcome of a channel's protocol in the journal,
// a killed program's journal, and journals that cannot be written, which cost rows but never an
// alarm.

#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/station_process.h"
#include "journal/journal_query.h"
#include "journal/journal_store.h"

namespace lan2com::e2e {
namespace {

using lan2com::test::UdpPeer;
using std::chrono::milliseconds;

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr int kLineMs = 3000;
constexpr int kReplyMs = 2000;
constexpr int kPastTimeoutMs = 600;

// The account 0 … 9999 as four digits.
std::string accountText(int account) {
    char digits[12];
    std::snprintf(digits, sizeof digits, "%04d", account % 10000);
    return digits;
}

Bytes eventOf(int account) {
    return eventDatagram(accountText(account) + "78113AA1AA5C");
}

std::filesystem::path journalOf(const StationProcess& station) {
    return station.appData() / "journal.sqlite";
}

// The rows of one account (or all), as "event kind outcome" texts in order.
std::vector<std::string> stepsOf(const std::filesystem::path& journal, int channel, int account) {
    const JournalStore store(journal.string(), JournalStore::Mode::Read);
    JournalFilter f;
    f.channel = channel;
    f.account = accountText(account);
    std::vector<std::string> steps;
    for (const JournalRecord& r : queryEvents(store, f)) {
        std::string step = r.event;
        if (!r.kind.empty()) {
            step += " " + r.kind;
        }
        if (!r.outcome.empty()) {
            step += " " + r.outcome;
        }
        steps.push_back(step);
    }
    return steps;
}

bool answeredOk(UdpPeer& transceiver) {
    Bytes reply;
    std::uint16_t from = 0;
    return receiveReply(transceiver, reply, from, kReplyMs) && reply == bytesOf("OK");
}

TEST(JournalEndToEnd, EveryOutcomeOfAChannelIsRecorded) {
    StationProcess station;
    station.addChannel({});
    for (int i = 0; i < 4; ++i) {
        station.addChannel({});  // channel 5 drops datagrams while timed out
    }
    ASSERT_TRUE(station.start()) << station.programOutput();
    UdpPeer transceiver("127.0.0.2");
    MonitorEnd& one = station.monitor(0);
    MonitorEnd& five = station.monitor(4);

    transceiver.sendTo(station.port(0), eventOf(1));  // acknowledged
    ASSERT_EQ(one.read(21, kLineMs).size(), 21u);
    one.write(kAck);
    EXPECT_TRUE(answeredOk(transceiver));

    transceiver.sendTo(station.port(0), eventOf(2));  // refused, then left unanswered
    ASSERT_EQ(one.read(21, kLineMs).size(), 21u);
    one.write(kNak);
    std::this_thread::sleep_for(milliseconds(kPastTimeoutMs));
    EXPECT_TRUE(silentFor(transceiver, 100));

    transceiver.sendTo(station.port(0), bytesOf("bad"));  // malformed

    transceiver.sendTo(station.port(4), eventOf(3));  // times channel 5 out
    ASSERT_EQ(five.read(21, kLineMs).size(), 21u);
    std::this_thread::sleep_for(milliseconds(kPastTimeoutMs));
    transceiver.sendTo(station.port(4), eventOf(4));  // dropped: the channel is timed out
    EXPECT_TRUE(silentFor(transceiver, 300));
    EXPECT_EQ(station.stop(), 0);

    const std::filesystem::path journal = journalOf(station);
    EXPECT_EQ(stepsOf(journal, 1, 1), (std::vector<std::string>{"datagram event", "line event",
                                                                "answer event ack", "reply ok"}));
    EXPECT_EQ(stepsOf(journal, 1, 2),
              (std::vector<std::string>{"datagram event", "line event", "answer event refused",
                                        "answer event none"}));
    EXPECT_EQ(stepsOf(journal, 5, 3),
              (std::vector<std::string>{"datagram event", "line event", "answer event none"}));
    EXPECT_EQ(stepsOf(journal, 5, 4),
              (std::vector<std::string>{"datagram event", "dropped timed_out"}));

    const JournalStore store(journal.string(), JournalStore::Mode::Read);
    JournalFilter malformed;
    malformed.outcome = "malformed";
    const std::vector<JournalRecord> bad = queryEvents(store, malformed);
    ASSERT_EQ(bad.size(), 1u);
    EXPECT_EQ(bad[0].channel, 1);
    EXPECT_EQ(bad[0].peer, "127.0.0.2");
    EXPECT_EQ(bad[0].peerPort, transceiver.port());

    const std::map<int, ChannelSummary> summary = summarize(store, {});
    ASSERT_EQ(summary.count(1), 1u);
    EXPECT_EQ(summary.at(1).events, 2);
    EXPECT_EQ(summary.at(1).answered, 1);
    EXPECT_EQ(summary.at(1).refused, 1);
    EXPECT_EQ(summary.at(1).timedOut, 1);
    ASSERT_TRUE(summary.at(1).medianMs);
    EXPECT_LT(*summary.at(1).medianMs, kReplyMs);
    EXPECT_EQ(summary.at(5).dropped.at("timed_out"), 1);

    JournalFilter program;
    const std::vector<JournalRecord> all = queryEvents(store, program);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front().event, "start");
    EXPECT_EQ(all.back().event, "end");
}

// The moments the journal's write-ahead log grew, each a commit, watched from another thread.
class CommitWatch {
  public:
    explicit CommitWatch(std::filesystem::path wal)
        : wal_(std::move(wal)), thread_([this] { watch(); }) {}
    ~CommitWatch() { stop(); }
    CommitWatch(const CommitWatch&) = delete;
    CommitWatch& operator=(const CommitWatch&) = delete;
    // Stops watching; answers the longest time between two commits.
    milliseconds stop() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        milliseconds longest{0};
        for (std::size_t i = 1; i < commits_.size(); ++i) {
            longest = std::max(
                longest, std::chrono::duration_cast<milliseconds>(commits_[i] - commits_[i - 1]));
        }
        return longest;
    }
    std::size_t commits() const { return commits_.size(); }

  private:
    void watch() {
        std::uintmax_t last = 0;
        while (!done_) {
            std::error_code error;
            const std::uintmax_t size = std::filesystem::file_size(wal_, error);
            if (!error && size > last) {
                last = size;
                commits_.push_back(std::chrono::steady_clock::now());
            }
            std::this_thread::sleep_for(milliseconds(2));
        }
    }
    std::filesystem::path wal_;
    std::atomic<bool> done_{false};
    std::vector<std::chrono::steady_clock::time_point> commits_;
    std::thread thread_;
};

TEST(JournalEndToEnd, AKilledProgramLeavesAReadableJournalWithAllButItsLastRows) {
    StationProcess station;
    station.addChannel({});
    ASSERT_TRUE(station.start()) << station.programOutput();
    UdpPeer transceiver("127.0.0.2");
    MonitorEnd& software = station.monitor(0);
    // Events go round without a pause until the program is killed right after an "OK". While
    // they do, a batch is committed at most 200 ms after its first row: with a margin for the
    // commit and the scheduler, no two commits are more than 350 ms apart, so a kill costs at
    // most the rows of that last stretch.
    constexpr milliseconds kMostBetweenCommits{350};
    constexpr int kEvents = 60;
    std::vector<std::chrono::steady_clock::time_point> answeredAt;
    {
        transceiver.sendTo(station.port(0), eventOf(1));  // the first commit starts the watch
        ASSERT_EQ(software.read(21, kLineMs).size(), 21u);
        software.write(kAck);
        ASSERT_TRUE(answeredOk(transceiver));
        answeredAt.push_back(std::chrono::steady_clock::now());
    }
    std::filesystem::path wal = journalOf(station);
    wal += "-wal";
    for (int i = 0; i < 100 && !std::filesystem::exists(wal); ++i) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_TRUE(std::filesystem::exists(wal));
    CommitWatch watch(wal);
    for (int n = 2; n <= kEvents; ++n) {
        transceiver.sendTo(station.port(0), eventOf(n));
        ASSERT_EQ(software.read(21, kLineMs).size(), 21u);
        software.write(kAck);
        ASSERT_TRUE(answeredOk(transceiver)) << n;
        answeredAt.push_back(std::chrono::steady_clock::now());
        std::this_thread::sleep_for(milliseconds(20));
    }
    const auto killedAt = std::chrono::steady_clock::now();
    ASSERT_EQ(::kill(station.pid(), SIGKILL), 0);
    const milliseconds longest = watch.stop();
    EXPECT_EQ(station.stop(), -1);
    EXPECT_GE(watch.commits(), 3u);
    EXPECT_LE(longest, kMostBetweenCommits) << watch.commits() << " commits";

    const JournalStore store(journalOf(station).string(), JournalStore::Mode::Read);
    sqlite3_stmt* check = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(store.db(), "PRAGMA integrity_check", -1, &check, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
    sqlite3_finalize(check);
    // Every event answered longer than that before the kill has its "OK" in the file.
    std::set<std::string> replied;
    for (const JournalRecord& r : queryEvents(store, {})) {
        if (r.event == "reply" && r.outcome == "ok") {
            replied.insert(r.account);
        }
    }
    int older = 0;
    for (int n = 1; n <= kEvents; ++n) {
        if (killedAt - answeredAt[std::size_t(n - 1)] >= kMostBetweenCommits) {
            ++older;
            EXPECT_EQ(replied.count(accountText(n)), 1u) << "event " << n;
        }
    }
    EXPECT_GT(older, kEvents / 2);
}

// Sends events for a while and counts those answered "OK".
int relayWhileJournalFails(StationProcess& station, int events) {
    UdpPeer transceiver("127.0.0.2");
    MonitorEnd& software = station.monitor(0);
    int answered = 0;
    for (int n = 1; n <= events; ++n) {
        transceiver.sendTo(station.port(0), eventOf(n));
        if (software.read(21, kLineMs).size() != 21u) {
            ADD_FAILURE() << "no line for event " << n;
            continue;
        }
        software.write(kAck);
        answered += answeredOk(transceiver) ? 1 : 0;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return answered;
}

TEST(JournalEndToEnd, AJournalThatCannotBeOpenedCostsNoAlarm) {
    StationProcess station;
    station.addChannel({});
    station.prepare();
    // A folder where the journal's file should be: SQLite cannot open it, whoever runs the test.
    std::filesystem::create_directories(journalOf(station));
    ASSERT_TRUE(station.start()) << station.programOutput();
    EXPECT_EQ(relayWhileJournalFails(station, 10), 10);
    EXPECT_TRUE(station.running());
    EXPECT_EQ(station.stop(), 0);
}

// Relays events while the journal's disk is full: every one is answered, and the journal holds
// what fitted in limitBytes and stays readable.
void expectEveryAlarmWhileTheDiskIsFull(StationProcess& station, std::uintmax_t limitBytes) {
    constexpr int kEvents = 60;
    EXPECT_EQ(relayWhileJournalFails(station, kEvents), kEvents);
    EXPECT_TRUE(station.running());
    EXPECT_EQ(station.stop(), 0);
    const JournalStore store(journalOf(station).string(), JournalStore::Mode::Read);
    const std::map<int, ChannelSummary> summary = summarize(store, {});
    const std::int64_t recorded = summary.count(1) != 0 ? summary.at(1).events : 0;
    EXPECT_LT(recorded, kEvents);
    EXPECT_LE(std::filesystem::file_size(journalOf(station)), limitBytes);
}

TEST(JournalEndToEnd, AFullDiskCostsRowsNeverAnAlarm) {
    StationProcess station;
    station.addChannel({});
    station.prepare();
    // The program may write files of at most 48 KiB, as on a disk that fills up: its journal
    // soon cannot grow (EFBIG; SIGXFSZ is ignored, as a full disk sends no signal).
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 48 * 1024;
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(::sigaction(SIGXFSZ, &ignore, &previous), 0);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool started = station.start();
    ::setrlimit(RLIMIT_FSIZE, &before);
    ::sigaction(SIGXFSZ, &previous, nullptr);
    ASSERT_TRUE(started) << station.programOutput();
    expectEveryAlarmWhileTheDiskIsFull(station, 48u * 1024);
}

// A small tmpfs mounted over a folder for as long as it lives (root only).
class SmallTmpfs {
  public:
    SmallTmpfs(const std::filesystem::path& at, std::size_t bytes) : at_(at) {
        const std::string options = "size=" + std::to_string(bytes);
        mounted_ =
            ::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        error_ = mounted_ ? 0 : errno;
    }
    ~SmallTmpfs() {
        if (mounted_) {
            ::umount2(at_.c_str(), MNT_DETACH);
        }
    }
    SmallTmpfs(const SmallTmpfs&) = delete;
    SmallTmpfs& operator=(const SmallTmpfs&) = delete;
    bool mounted() const { return mounted_; }
    std::string error() const { return std::strerror(error_); }

  private:
    std::filesystem::path at_;
    bool mounted_ = false;
    int error_ = 0;
};

// The program's data folder on a 96 KiB tmpfs: the journal fills it and SQLite's writes fail
// with ENOSPC, as on a full disk.
TEST(JournalEndToEnd, AFilledUpTmpfsCostsRowsNeverAnAlarm) {
    StationProcess station;
    station.addChannel({});
    constexpr std::size_t kBytes = 96 * 1024;
    SmallTmpfs tmpfs(station.appData(), kBytes);
    if (!tmpfs.mounted()) {
        GTEST_SKIP() << "no tmpfs can be mounted here (" << tmpfs.error() << ")";
    }
    station.prepare();
    ASSERT_TRUE(station.start()) << station.programOutput();
    expectEveryAlarmWhileTheDiskIsFull(station, kBytes);
}

}  // namespace
}  // namespace lan2com::e2e
