#include <gtest/gtest.h>

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "journal/journal_query.h"
#include "journal/journal_store.h"
#include "journal/journal_writer.h"
#include "journal_tool.h"
#include "support/temp_dir.h"

namespace lan2com {
namespace {

constexpr std::int64_t kT0 = 1796817074000;  // 2026-12-09 11:51:14 UTC

JournalRow row(std::int64_t at, JournalEvent event, int channel, const char* kind = "",
               const char* outcome = "", std::int64_t latency = -1, std::uint64_t datagram = 0) {
    JournalRow r;
    r.utcMs = at;
    r.event = event;
    r.channel = channel;
    r.pair = channel;
    r.kind = kind;
    r.outcome = outcome;
    r.latencyMs = latency;
    r.datagram = datagram;
    if (event == JournalEvent::Datagram) {
        r.peer = "127.0.0.2";
        r.peerPort = 5000;
    }
    r.digits = channel == 1 ? "1234781130010015" : "5A78781130010015";
    return r;
}

// Two channels' worth of rows, as the station writes them.
std::vector<JournalRow> sampleRows() {
    using E = JournalEvent;
    std::vector<JournalRow> rows;
    std::int64_t t = kT0;
    // Channel 1: three events answered (10, 30 and 20 ms to "OK"), one refused and left
    // unanswered, a malformed datagram and five strangers' datagrams in one row.
    for (std::uint64_t id = 1; id <= 3; ++id) {
        rows.push_back(row(t, E::Datagram, 1, "event", "", -1, id));
        rows.push_back(row(t + 1, E::Line, 1, "event", "", -1, id));
        rows.push_back(row(t + 5, E::Answer, 1, "event", "ack", 4, id));
        rows.push_back(row(t + 6, E::Reply, 1, "", "ok", id == 1 ? 10 : id == 2 ? 30 : 20, id));
        t += 1000;
    }
    rows.push_back(row(t, E::Datagram, 1, "event", "", -1, 4));
    rows.push_back(row(t + 1, E::Line, 1, "event", "", -1, 4));
    rows.push_back(row(t + 2, E::Answer, 1, "event", "refused", 1, 4));
    rows.push_back(row(t + 330, E::Answer, 1, "event", "none", 330, 4));
    rows.push_back(row(t + 400, E::Datagram, 1, "malformed", "", -1, 5));
    rows.push_back(row(t + 400, E::Dropped, 1, "", "malformed", -1, 5));
    JournalRow foreign = row(t + 500, E::Dropped, 1, "", "foreign");
    foreign.count = 5;
    foreign.digits.clear();
    rows.push_back(foreign);
    t += 1000;
    // Channel 2: one event, answered in 50 ms; a heartbeat nobody answered.
    rows.push_back(row(t, E::Datagram, 2, "event", "", -1, 6));
    rows.push_back(row(t + 2, E::Answer, 2, "event", "ack", 2, 6));
    rows.push_back(row(t + 3, E::Reply, 2, "", "ok", 50, 6));
    rows.push_back(row(t + 400, E::Answer, 2, "heartbeat", "none", 330));
    return rows;
}

int tool(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr) {
    std::ostringstream o;
    std::ostringstream e;
    const int status = runJournalTool(args, o, e);
    *out = o.str();
    if (err != nullptr) {
        *err = e.str();
    }
    return status;
}

int lines(const std::string& text) {
    int n = 0;
    for (const char c : text) {
        n += c == '\n' ? 1 : 0;
    }
    return n;
}

TEST(JournalQueue, KeepsItsCapacityAndCountsWhatDidNotFit) {
    JournalQueue queue(3);
    for (int i = 0; i < 5; ++i) {
        JournalRow r;
        r.utcMs = i;
        EXPECT_EQ(queue.push(std::move(r)), i < 3);
    }
    std::vector<JournalRow> taken;
    queue.takeAll(taken);
    ASSERT_EQ(taken.size(), 3u);
    EXPECT_EQ(taken[2].utcMs, 2);
    EXPECT_EQ(queue.takeLost(), 2u);
    EXPECT_EQ(queue.takeLost(), 0u);
    JournalRow again;
    EXPECT_TRUE(queue.push(std::move(again)));  // room again once taken
}

class JournalToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (dir_.path() / "journal.sqlite").string();
        JournalWriterOptions o;
        o.path = path_;
        o.batchMs = 20;
        o.retentionDays = 0;
        JournalWriter writer(o);
        for (JournalRow& r : sampleRows()) {
            writer.record(std::move(r));
        }
    }
    test::TempDir dir_;
    std::string path_;
};

TEST_F(JournalToolTest, SummaryCountsEachOutcomePerChannel) {
    std::string out;
    ASSERT_EQ(tool({"--journal", path_, "summary"}, &out), 0);
    EXPECT_EQ(out,
              "channel=1 events=4 answered=3 refused=1 timed_out=1 replies=3 dropped=6 "
              "dropped_foreign=5 dropped_malformed=1 median_ms=20 p99_ms=30\n"
              "channel=2 events=1 answered=1 refused=0 timed_out=0 replies=1 dropped=0 "
              "median_ms=50 p99_ms=50\n");
}

TEST_F(JournalToolTest, EventsAreFilteredByTimeChannelAccountAndOutcome) {
    std::string out;
    ASSERT_EQ(tool({"--journal", path_, "events"}, &out), 0);
    EXPECT_EQ(lines(out), 23);
    ASSERT_EQ(tool({"--journal", path_, "events", "--channel", "2"}, &out), 0);
    EXPECT_EQ(lines(out), 4);
    // The account 5A78 is 5078 (the digit 0 comes as 10).
    ASSERT_EQ(tool({"--journal", path_, "events", "--account", "5078", "--outcome", "ok"}, &out),
              0);
    EXPECT_EQ(out,
              "2026-12-09 11:51:18.003  reply channel=2 pair=2 datagram=6 account=5078 "
              "digits=5A78781130010015 outcome=ok latency_ms=50\n");
    ASSERT_EQ(tool({"--journal", path_, "events", "--since", "2026-12-09 11:51:15", "--until",
                    "2026-12-09 11:51:16", "--outcome", "ack"},
                   &out),
              0);
    EXPECT_EQ(lines(out), 1);
    EXPECT_NE(out.find("datagram=2 "), std::string::npos) << out;
    ASSERT_EQ(tool({"--journal", path_, "summary", "--since", "2026-12-09 11:51:17"}, &out), 0);
    EXPECT_EQ(out.find("answered=3"), std::string::npos) << out;  // the first three are left out
}

TEST_F(JournalToolTest, ExportWritesOneCsvRecordPerRow) {
    std::string out;
    ASSERT_EQ(tool({"export", "--csv", "--journal", path_, "--outcome", "foreign"}, &out), 0);
    const std::string expected =
        "utc,event,channel,pair,peer,peer_port,account,digits,kind,outcome,latency_ms,"
        "count,datagram,run,detail\r\n"
        "2026-12-09 11:51:17.500,dropped,1,1,,,,,,foreign,,5,,";
    EXPECT_EQ(out.substr(0, expected.size()), expected);
    EXPECT_EQ(lines(out), 2);  // then the writer's run and an empty detail
}

TEST_F(JournalToolTest, BadCommandLinesAndMissingJournals) {
    std::string out;
    std::string err;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"list"},
             {"export"},
             {"events", "--channel", "17"},
             {"events", "--channel"},
             {"events", "--since", "today"},
             {"events", "--account", "12345"},
             {"events", "--verbose"},
         }) {
        EXPECT_EQ(tool(args, &out, &err), 2) << (args.empty() ? "" : args[0]);
        EXPECT_NE(err.find("usage:"), std::string::npos);
    }
    EXPECT_EQ(tool({"--journal", (dir_.path() / "none.sqlite").string(), "events"}, &out, &err), 1);
    EXPECT_NE(err.find("none.sqlite"), std::string::npos) << err;
}

// Polls until `done` holds or two seconds have passed.
template <typename Fn>
bool within(Fn done, int ms = 4000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::int64_t count(const std::string& path, const std::string& where) {
    const JournalStore store(path, JournalStore::Mode::Read);
    sqlite3_stmt* s = nullptr;
    const std::string sql = "SELECT COALESCE(SUM(count), 0) FROM events WHERE " + where;
    if (sqlite3_prepare_v2(store.db(), sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << sqlite3_errmsg(store.db());
        return -1;
    }
    sqlite3_step(s);
    const std::int64_t n = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
    return n;
}

TEST(JournalWriter, AJournalThatCannotBeWrittenCostsRowsAndSaysSoOnce) {
    test::TempDir dir;
    // The journal's folder is a file: nothing can be created there until it is a folder.
    const std::filesystem::path folder = dir.path() / "data";
    std::ofstream(folder) << "in the way";
    std::mutex mutex;
    std::vector<std::string> notices;
    JournalWriterOptions o;
    o.path = (folder / "journal.sqlite").string();
    o.batchMs = 20;
    o.notice = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        notices.push_back(line);
    };
    JournalWriter writer(o);
    for (int i = 0; i < 10; ++i) {
        writer.record(row(kT0 + i, JournalEvent::Datagram, 1, "event"));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    ASSERT_TRUE(within([&] { return writer.lost() == 10; })) << writer.lost();
    {
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_NE(notices[0].find("не записывается"), std::string::npos) << notices[0];
    }
    std::filesystem::remove(folder);
    std::filesystem::create_directory(folder);
    writer.record(row(kT0 + 100, JournalEvent::Datagram, 1, "event"));
    ASSERT_TRUE(within([&] { return writer.written() == 2; })) << writer.written();
    EXPECT_EQ(count(o.path, "event = 'rows_lost'"), 10);
    EXPECT_EQ(count(o.path, "event = 'datagram'"), 1);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_NE(notices[1].find("10"), std::string::npos) << notices[1];
}

#ifdef _WIN32
// A station's account may have any name (a Cyrillic one most likely): the journal is made in
// that account's folder, and the path the log names is that file.
TEST(JournalWriter, IsKeptInTheAccountsFolderWhateverItsName) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path folder = dir.path() / L"\u041e\u043f\u0435\u0440\u0430\u0442\u043e\u0440";
    fs::create_directory(folder);
    const wchar_t* before = _wgetenv(L"LOCALAPPDATA");
    const std::wstring saved = before != nullptr ? before : L"";
    _wputenv_s(L"LOCALAPPDATA", folder.c_str());
    const std::string path = defaultJournalPath();
    _wputenv_s(L"LOCALAPPDATA", saved.c_str());
    EXPECT_EQ(fs::u8path(path), folder / "lan2com" / "journal.sqlite");
    {
        JournalWriterOptions o;
        o.path = path;
        o.batchMs = 20;
        JournalWriter writer(o);
        writer.record(row(kT0, JournalEvent::Datagram, 1, "event"));
    }
    EXPECT_TRUE(fs::exists(folder / "lan2com" / "journal.sqlite"));
    EXPECT_EQ(count(path, "event = 'datagram'"), 1);
}
#endif

TEST(JournalWriter, AFullQueueCostsRowsCountedInTheJournalAndSaidOnce) {
    test::TempDir dir;
    std::mutex mutex;
    std::vector<std::string> notices;
    JournalWriterOptions o;
    o.path = (dir.path() / "journal.sqlite").string();
    o.capacity = 4;
    o.batchMs = 50;
    o.notice = [&](const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex);
        notices.push_back(line);
    };
    {
        JournalWriter writer(o);
        // Far beyond the queue for several batches in a row: one overflow episode.
        for (int i = 0; i < 40; ++i) {
            for (int j = 0; j < 25; ++j) {
                writer.record(row(kT0 + i, JournalEvent::Datagram, 1, "event"));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    // Every row is either written or counted in a rows_lost row.
    EXPECT_EQ(count(o.path, "event = 'datagram'") + count(o.path, "event = 'rows_lost'"), 1000);
    EXPECT_GT(count(o.path, "event = 'rows_lost'"), 0);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find("потеряно"), std::string::npos) << notices[0];
}

TEST(JournalWriter, IsReadWhileItCommits) {
    test::TempDir dir;
    JournalWriterOptions o;
    o.path = (dir.path() / "journal.sqlite").string();
    o.batchMs = 5;
    JournalWriter writer(o);
    writer.record(row(kT0, JournalEvent::ProgramStart, 0));
    ASSERT_TRUE(within([&] { return writer.written() == 1; }));
    std::int64_t seen = 0;
    for (int n = 1; n <= 200; ++n) {
        writer.record(row(kT0 + n, JournalEvent::Datagram, 1, "event", "", -1, n));
        if (n % 10 == 0) {
            std::string out;
            std::string err;
            ASSERT_EQ(tool({"--journal", o.path, "summary"}, &out, &err), 0) << err;
            const std::size_t at = out.find("events=");
            const std::int64_t events =
                at == std::string::npos ? 0 : std::stoll(out.substr(at + 7));
            EXPECT_GE(events, seen);  // what was read once stays
            seen = events;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }
    ASSERT_TRUE(within([&] { return writer.written() == 201; }));
    EXPECT_EQ(count(o.path, "event = 'datagram'"), 200);
}

TEST(JournalWriter, RemovesRowsOlderThanTheRetention) {
    test::TempDir dir;
    JournalWriterOptions o;
    o.path = (dir.path() / "journal.sqlite").string();
    o.batchMs = 10;
    o.retentionDays = 90;
    const std::int64_t now = utcNowMs();
    const std::int64_t day = 24LL * 3600 * 1000;
    {
        JournalWriter writer(o);
        // More than one step's worth of old rows, and a few that stay.
        for (int i = 0; i < 1200; ++i) {
            writer.record(row(now - 91 * day + i, JournalEvent::Line, 1, "heartbeat"));
        }
        for (int i = 0; i < 3; ++i) {
            writer.record(row(now - 89 * day + i, JournalEvent::Line, 1, "heartbeat"));
        }
        ASSERT_TRUE(within([&] { return writer.written() == 1203; }));
        EXPECT_TRUE(within([&] { return count(o.path, "1") == 3; })) << count(o.path, "1");
    }
}

}  // namespace
}  // namespace lan2com
