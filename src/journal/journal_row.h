#pragma once

#include <cstdint>
#include <string>

namespace lan2com {

// What a row of the event journal records.
enum class JournalEvent : std::uint8_t {
    ProgramStart,
    ProgramEnd,
    Datagram,  // a datagram of the channel's transceiver: peer, digits, kind
    Line,      // a line written to the port: kind (event/service/heartbeat), detail = bytes
    Answer,    // outcome ack/refused/other/none/abandoned, latency from the line's write
    Reply,     // "OK" sent (outcome ok) or not (send_failed); latency from the datagram
    Dropped,   // outcome = the reason; count > 1 for aggregated foreign datagrams
    PortLost,  // detail = the failure
    PortBack,
    BindFailed,  // detail = the port
    BindBack,
    Configuration,  // detail = "old: …\nnew: …"
    RowsLost,       // count = journal rows that could not be written
};

const char* journalEventName(JournalEvent event);

// One row of the journal. The loop fills it on its own thread and hands it over by move; the
// texts of kind and outcome are static names, never owned.
struct JournalRow {
    std::int64_t utcMs = 0;  // milliseconds since 1970-01-01 00:00 UTC
    JournalEvent event = JournalEvent::ProgramStart;
    int channel = 0;  // 1 to 16; 0 for the station as a whole
    int pair = 0;
    std::string peer;
    std::uint16_t peerPort = 0;
    std::string digits;
    const char* kind = "";
    const char* outcome = "";
    std::string detail;
    std::int64_t count = 1;
    std::int64_t latencyMs = -1;  // -1: none
    std::uint64_t datagram = 0;   // the datagram's number within this run; 0: none
};

// Where the station's rows go. record() must never block for long, never do I/O and never throw:
// it is called on the station loop's thread, between an alarm's datagram and its line.
class JournalSink {
  public:
    virtual ~JournalSink() = default;
    virtual void record(JournalRow&& row) noexcept = 0;
};

// The wall clock in milliseconds since 1970-01-01 00:00 UTC.
std::int64_t utcNowMs();

// "2026-12-09 11:51:14.783" (UTC); and back: accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM",
// "YYYY-MM-DD HH:MM:SS" and "...SS.mmm", with 'T' allowed for the space and a trailing 'Z'.
// Answers false on anything else.
std::string formatUtcMs(std::int64_t utcMs);
bool parseUtcMs(const std::string& text, std::int64_t* utcMs);

// The bytes of a line as text: printable ASCII as is, '\' as "\\", anything else as \xNN.
std::string printableBytes(const std::uint8_t* bytes, std::size_t count);

// The account of a Contact ID digit text: its first four digits, A read as 0 ("" when shorter).
std::string accountOf(const std::string& digits);

}  // namespace lan2com
