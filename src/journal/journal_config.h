#pragma once

#include <cstdint>
#include <string>

#include "channels/channel_table.h"
#include "journal/journal_row.h"
#include "platform/registry.h"

namespace lan2com {

// How many days the journal keeps its rows unless the configuration key says otherwise.
constexpr int kDefaultJournalDays = 90;
// kJournalDaysValue under the configuration key sets it (0 keeps every row).

// The retention from the configuration key: the default when the key or the value is missing or
// the value is negative. Leaves the store's current key closed.
int journalRetentionDays(Registry& registry);

// The channels of a table as one line of text for the journal: "1: pair 1 COM10/COM11
// 127.0.0.2:5001 conversion 0; 2: …"; "none" for an empty table.
std::string describeChannels(const ChannelTable& table);

// The row of a configuration that was applied.
JournalRow configurationRow(const std::string& before, const std::string& after);

}  // namespace lan2com

namespace lan2com {

// Records the program's start when made and its end when destroyed (after the station that it
// outlives has stopped every channel). Does nothing without a sink.
class JournalRunRows {
  public:
    explicit JournalRunRows(JournalSink* sink);
    ~JournalRunRows();
    JournalRunRows(const JournalRunRows&) = delete;
    JournalRunRows& operator=(const JournalRunRows&) = delete;

  private:
    JournalSink* sink_;
};

}  // namespace lan2com
