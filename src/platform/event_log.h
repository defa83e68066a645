#pragma once

// The system's event log: where an unattended station keeps what went wrong while nobody watched
// the window. Windows: the Application log, under the event source "lan2com" (the installer
// registers it; without that registration Windows still keeps the entry and its text). Linux:
// the system log (syslog, facility user, identity "lan2com").

#include <string>
#include <string_view>

namespace lan2com {

enum class EventLogKind { Error, Warning, Information };

// The event source name, also the syslog identity.
inline constexpr const wchar_t* kEventSourceW = L"lan2com";
inline constexpr const char* kEventSource = "lan2com";

// The event identifier of every entry that lan2com writes: the entry's text says what happened.
inline constexpr unsigned kEventId = 1;

// Longest text of one entry, in characters; a longer text is cut and ends with "…".
inline constexpr std::size_t kEventTextLimit = 31000;

// The text as it is written: valid UTF-8 at most kEventTextLimit characters long (invalid
// sequences become U+FFFD).
std::string eventLogText(std::string_view utf8);

// Writes one entry. Answers whether the system took it; a failure is not reported further (the
// event log is the last place a failure is reported to).
bool writeEventLog(EventLogKind kind, std::string_view utf8);

}  // namespace lan2com
