#include "journal/journal_query.h"

#include <sqlite3.h>

#include <algorithm>
#include <cmath>

namespace lan2com {
namespace {

// A prepared statement with the filter's conditions bound.
class Query {
  public:
    Query(sqlite3* db, const std::string& select, const JournalFilter& f, const std::string& tail)
        : db_(db) {
        std::string sql = select + " WHERE 1";
        if (f.sinceUtcMs) {
            sql += " AND utc_ms >= :since";
        }
        if (f.untilUtcMs) {
            sql += " AND utc_ms < :until";
        }
        if (f.channel) {
            sql += " AND channel = :channel";
        }
        if (f.account) {
            sql += " AND account = :account";
        }
        if (f.outcome) {
            sql += " AND outcome = :outcome";
        }
        sql += tail;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &s_, nullptr) != SQLITE_OK) {
            throw JournalError(sqlite3_errmsg(db_));
        }
        if (f.sinceUtcMs) {
            sqlite3_bind_int64(s_, index(":since"), *f.sinceUtcMs);
        }
        if (f.untilUtcMs) {
            sqlite3_bind_int64(s_, index(":until"), *f.untilUtcMs);
        }
        if (f.channel) {
            sqlite3_bind_int(s_, index(":channel"), *f.channel);
        }
        if (f.account) {
            sqlite3_bind_text(s_, index(":account"), f.account->c_str(), -1, SQLITE_TRANSIENT);
        }
        if (f.outcome) {
            sqlite3_bind_text(s_, index(":outcome"), f.outcome->c_str(), -1, SQLITE_TRANSIENT);
        }
    }
    ~Query() { sqlite3_finalize(s_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool step() {
        const int rc = sqlite3_step(s_);
        if (rc == SQLITE_ROW) {
            return true;
        }
        if (rc != SQLITE_DONE) {
            throw JournalError(sqlite3_errmsg(db_));
        }
        return false;
    }
    bool isNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    std::int64_t number(int c) const { return sqlite3_column_int64(s_, c); }
    std::string text(int c) const {
        const unsigned char* t = sqlite3_column_text(s_, c);
        return t != nullptr ? std::string(reinterpret_cast<const char*>(t),
                                          static_cast<std::size_t>(sqlite3_column_bytes(s_, c)))
                            : std::string();
    }

  private:
    int index(const char* name) { return sqlite3_bind_parameter_index(s_, name); }
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

template <typename T>
std::string optionalText(const std::optional<T>& value) {
    return value ? std::to_string(*value) : std::string();
}

}  // namespace

std::vector<JournalRecord> queryEvents(const JournalStore& store, const JournalFilter& filter) {
    Query q(store.db(),
            "SELECT id, utc_ms, run, event, channel, pair, peer, peer_port, account, digits, kind,"
            " outcome, detail, count, latency_ms, datagram FROM events",
            filter, " ORDER BY utc_ms, id");
    std::vector<JournalRecord> out;
    while (q.step()) {
        JournalRecord r;
        r.id = q.number(0);
        r.utcMs = q.number(1);
        r.run = q.number(2);
        r.event = q.text(3);
        if (!q.isNull(4)) {
            r.channel = static_cast<int>(q.number(4));
        }
        if (!q.isNull(5)) {
            r.pair = static_cast<int>(q.number(5));
        }
        r.peer = q.text(6);
        if (!q.isNull(7)) {
            r.peerPort = static_cast<int>(q.number(7));
        }
        r.account = q.text(8);
        r.digits = q.text(9);
        r.kind = q.text(10);
        r.outcome = q.text(11);
        r.detail = q.text(12);
        r.count = q.number(13);
        if (!q.isNull(14)) {
            r.latencyMs = q.number(14);
        }
        if (!q.isNull(15)) {
            r.datagram = q.number(15);
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::optional<std::int64_t> percentile(std::vector<std::int64_t>& values, double fraction) {
    if (values.empty()) {
        return std::nullopt;
    }
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(fraction * static_cast<double>(values.size()));
    const std::size_t index =
        rank < 1 ? 0 : std::min(values.size() - 1, static_cast<std::size_t>(rank) - 1);
    return values[index];
}

std::map<int, ChannelSummary> summarize(const JournalStore& store, const JournalFilter& filter) {
    std::map<int, ChannelSummary> out;
    {
        Query q(store.db(), "SELECT channel, event, kind, outcome, SUM(count) FROM events", filter,
                " AND channel IS NOT NULL AND event IN ('datagram', 'answer', 'dropped', 'reply')"
                " GROUP BY channel, event, kind, outcome");
        while (q.step()) {
            ChannelSummary& s = out[static_cast<int>(q.number(0))];
            const std::string event = q.text(1);
            const std::string kind = q.text(2);
            const std::string outcome = q.text(3);
            const std::int64_t n = q.number(4);
            if (event == "datagram" && kind == "event") {
                s.events += n;
            } else if (event == "answer" && kind == "event") {
                if (outcome == "ack") {
                    s.answered += n;
                } else if (outcome == "refused") {
                    s.refused += n;
                } else if (outcome == "none") {
                    s.timedOut += n;
                }
            } else if (event == "dropped") {
                s.dropped[outcome] += n;
            } else if (event == "reply" && outcome == "ok") {
                s.replies += n;
            }
        }
    }
    Query q(store.db(), "SELECT channel, latency_ms FROM events", filter,
            " AND event = 'reply' AND outcome = 'ok' AND latency_ms IS NOT NULL"
            " ORDER BY channel");
    std::map<int, std::vector<std::int64_t>> latencies;
    while (q.step()) {
        latencies[static_cast<int>(q.number(0))].push_back(q.number(1));
    }
    for (auto& [channel, values] : latencies) {
        ChannelSummary& s = out[channel];
        s.medianMs = percentile(values, 0.5);
        s.p99Ms = percentile(values, 0.99);
    }
    return out;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (const char c : text) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

void writeCsv(std::ostream& out, const std::vector<JournalRecord>& records) {
    out << "utc,event,channel,pair,peer,peer_port,account,digits,kind,outcome,latency_ms,count,"
           "datagram,run,detail\r\n";
    for (const JournalRecord& r : records) {
        out << formatUtcMs(r.utcMs) << ',' << r.event << ',' << optionalText(r.channel) << ','
            << optionalText(r.pair) << ',' << csvField(r.peer) << ',' << optionalText(r.peerPort)
            << ',' << csvField(r.account) << ',' << csvField(r.digits) << ',' << csvField(r.kind)
            << ',' << csvField(r.outcome) << ',' << optionalText(r.latencyMs) << ',' << r.count
            << ',' << optionalText(r.datagram) << ',' << r.run << ',' << csvField(r.detail)
            << "\r\n";
    }
}

void writeTable(std::ostream& out, const std::vector<JournalRecord>& records) {
    for (const JournalRecord& r : records) {
        out << formatUtcMs(r.utcMs) << "  " << r.event;
        if (r.channel) {
            out << " channel=" << *r.channel << " pair=" << optionalText(r.pair);
        }
        if (!r.peer.empty()) {
            out << " from=" << r.peer << ':' << optionalText(r.peerPort);
        }
        if (r.datagram) {
            out << " datagram=" << *r.datagram;
        }
        if (!r.account.empty()) {
            out << " account=" << r.account;
        }
        if (!r.digits.empty()) {
            out << " digits=" << r.digits;
        }
        if (!r.kind.empty()) {
            out << " kind=" << r.kind;
        }
        if (!r.outcome.empty()) {
            out << " outcome=" << r.outcome;
        }
        if (r.latencyMs) {
            out << " latency_ms=" << *r.latencyMs;
        }
        if (r.count != 1) {
            out << " count=" << r.count;
        }
        if (!r.detail.empty()) {
            std::string detail = r.detail;
            std::replace(detail.begin(), detail.end(), '\n', ' ');
            out << " detail=\"" << detail << '"';
        }
        out << '\n';
    }
}

void writeSummary(std::ostream& out, const std::map<int, ChannelSummary>& summary) {
    for (const auto& [channel, s] : summary) {
        out << "channel=" << channel << " events=" << s.events << " answered=" << s.answered
            << " refused=" << s.refused << " timed_out=" << s.timedOut << " replies=" << s.replies;
        std::int64_t droppedTotal = 0;
        for (const auto& [reason, n] : s.dropped) {
            droppedTotal += n;
        }
        out << " dropped=" << droppedTotal;
        for (const auto& [reason, n] : s.dropped) {
            out << " dropped_" << reason << '=' << n;
        }
        out << " median_ms=" << (s.medianMs ? std::to_string(*s.medianMs) : "-")
            << " p99_ms=" << (s.p99Ms ? std::to_string(*s.p99Ms) : "-") << '\n';
    }
}

}  // namespace lan2com
