#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "journal/journal_store.h"

namespace lan2com {

// Which rows a query takes.
struct JournalFilter {
    std::optional<std::int64_t> sinceUtcMs;  // at or after
    std::optional<std::int64_t> untilUtcMs;  // before
    std::optional<int> channel;
    std::optional<std::string> account;
    std::optional<std::string> outcome;  // ack, refused, none, ok, foreign, …
};

// A row as read back.
struct JournalRecord {
    std::int64_t id = 0;
    std::int64_t utcMs = 0;
    std::int64_t run = 0;
    std::string event;
    std::optional<int> channel;
    std::optional<int> pair;
    std::string peer;
    std::optional<int> peerPort;
    std::string account;
    std::string digits;
    std::string kind;
    std::string outcome;
    std::string detail;
    std::int64_t count = 1;
    std::optional<std::int64_t> latencyMs;
    std::optional<std::int64_t> datagram;
};

// The rows that pass the filter, oldest first. Raises JournalError.
std::vector<JournalRecord> queryEvents(const JournalStore& store, const JournalFilter& filter);

// One channel's figures.
struct ChannelSummary {
    std::int64_t events = 0;                      // event datagrams of the transceiver
    std::int64_t answered = 0;                    // event lines acknowledged with 0x06
    std::int64_t refused = 0;                     // event lines that saw 0x15
    std::int64_t timedOut = 0;                    // event lines without 0x06 within the wait
    std::map<std::string, std::int64_t> dropped;  // datagrams by reason
    std::int64_t replies = 0;                     // "OK" sent
    std::optional<std::int64_t> medianMs;         // datagram to "OK"
    std::optional<std::int64_t> p99Ms;
};

// Figures per channel number (0: rows of no channel are left out) over the filtered rows.
std::map<int, ChannelSummary> summarize(const JournalStore& store, const JournalFilter& filter);

// The value at the given fraction of the sorted values, nearest rank (0.5: the median); none for
// no values. Sorts `values`.
std::optional<std::int64_t> percentile(std::vector<std::int64_t>& values, double fraction);

// Writers for the tool.
void writeCsv(std::ostream& out, const std::vector<JournalRecord>& records);
void writeTable(std::ostream& out, const std::vector<JournalRecord>& records);
void writeSummary(std::ostream& out, const std::map<int, ChannelSummary>& summary);
// A field as CSV writes it: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& text);

}  // namespace lan2com
