#include "platform/event_log.h"

#include "platform/cp1251.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <syslog.h>
#endif

namespace lan2com {

std::string eventLogText(std::string_view utf8) {
    std::u32string text = decodeUtf8(utf8);
    if (text.size() > kEventTextLimit) {
        text.resize(kEventTextLimit - 1);
        text += U'…';
    }
    return encodeUtf8(text);
}

#ifdef _WIN32
bool writeEventLog(EventLogKind kind, std::string_view utf8) {
    const std::string text = eventLogText(utf8);
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            length);
    }
    HANDLE source = RegisterEventSourceW(nullptr, kEventSourceW);
    if (source == nullptr) {
        return false;
    }
    WORD type = EVENTLOG_ERROR_TYPE;
    if (kind == EventLogKind::Warning) {
        type = EVENTLOG_WARNING_TYPE;
    } else if (kind == EventLogKind::Information) {
        type = EVENTLOG_INFORMATION_TYPE;
    }
    LPCWSTR strings[1] = {wide.c_str()};
    const BOOL written = ReportEventW(source, type, 0, kEventId, nullptr, 1, 0, strings, nullptr);
    DeregisterEventSource(source);
    return written != FALSE;
}
#else
bool writeEventLog(EventLogKind kind, std::string_view utf8) {
    const std::string text = eventLogText(utf8);
    int priority = LOG_ERR;
    if (kind == EventLogKind::Warning) {
        priority = LOG_WARNING;
    } else if (kind == EventLogKind::Information) {
        priority = LOG_INFO;
    }
    openlog(kEventSource, LOG_PID, LOG_USER);
    syslog(priority, "%s", text.c_str());  // the text is data, never the format
    closelog();
    return true;
}
#endif

}  // namespace lan2com
