#include "journal/journal_row.h"

#include <chrono>
#include <cstdio>

namespace lan2com {
namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian), and back.
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, std::int64_t* y, unsigned* m, unsigned* d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<std::int64_t>(yoe) + era * 400 + (*m <= 2 ? 1 : 0);
}

}  // namespace

const char* journalEventName(JournalEvent event) {
    switch (event) {
        case JournalEvent::ProgramStart:
            return "start";
        case JournalEvent::ProgramEnd:
            return "end";
        case JournalEvent::Datagram:
            return "datagram";
        case JournalEvent::Line:
            return "line";
        case JournalEvent::Answer:
            return "answer";
        case JournalEvent::Reply:
            return "reply";
        case JournalEvent::Dropped:
            return "dropped";
        case JournalEvent::PortLost:
            return "port_lost";
        case JournalEvent::PortBack:
            return "port_back";
        case JournalEvent::BindFailed:
            return "bind_failed";
        case JournalEvent::BindBack:
            return "bind_back";
        case JournalEvent::Configuration:
            return "configuration";
        case JournalEvent::RowsLost:
            return "rows_lost";
    }
    return "?";
}

std::int64_t utcNowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string formatUtcMs(std::int64_t utcMs) {
    std::int64_t days = utcMs / 86400000;
    std::int64_t rest = utcMs % 86400000;
    if (rest < 0) {
        rest += 86400000;
        --days;
    }
    std::int64_t y = 0;
    unsigned m = 0;
    unsigned d = 0;
    civilFromDays(days, &y, &m, &d);
    char text[40];
    std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld.%03lld",
                  static_cast<long long>(y), m, d, static_cast<long long>(rest / 3600000),
                  static_cast<long long>(rest / 60000 % 60),
                  static_cast<long long>(rest / 1000 % 60), static_cast<long long>(rest % 1000));
    return text;
}

bool parseUtcMs(const std::string& text, std::int64_t* utcMs) {
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z')) {
        t.pop_back();
    }
    auto digitsAt = [&t](std::size_t at, std::size_t n, unsigned* value) {
        if (at + n > t.size()) {
            return false;
        }
        unsigned v = 0;
        for (std::size_t i = at; i < at + n; ++i) {
            if (t[i] < '0' || t[i] > '9') {
                return false;
            }
            v = v * 10 + static_cast<unsigned>(t[i] - '0');
        }
        *value = v;
        return true;
    };
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
    if (!digitsAt(0, 4, &y) || t.size() < 10 || t[4] != '-' || !digitsAt(5, 2, &mo) ||
        t[7] != '-' || !digitsAt(8, 2, &d)) {
        return false;
    }
    std::size_t end = 10;
    if (t.size() > 10) {
        if ((t[10] != ' ' && t[10] != 'T') || !digitsAt(11, 2, &h) || t.size() < 16 ||
            t[13] != ':' || !digitsAt(14, 2, &mi)) {
            return false;
        }
        end = 16;
        if (t.size() > 16) {
            if (t[16] != ':' || !digitsAt(17, 2, &s)) {
                return false;
            }
            end = 19;
            if (t.size() > 19) {
                if (t[19] != '.' || !digitsAt(20, 3, &ms)) {
                    return false;
                }
                end = 23;
            }
        }
    }
    if (end != t.size() || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) {
        return false;
    }
    *utcMs = ((daysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000 +
             static_cast<std::int64_t>(s) * 1000 + ms;
    return true;
}

std::string printableBytes(const std::uint8_t* bytes, std::size_t count) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(count + 8);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint8_t b = bytes[i];
        if (b == '\\') {
            text += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            text += static_cast<char>(b);
        } else {
            text += "\\x";
            text += kHex[b >> 4];
            text += kHex[b & 0xF];
        }
    }
    return text;
}

std::string accountOf(const std::string& digits) {
    if (digits.size() < 4) {
        return {};
    }
    std::string account = digits.substr(0, 4);
    for (char& c : account) {
        if (c == 'A') {
            c = '0';  // transceivers send the digit 0 as 10
        }
    }
    return account;
}

}  // namespace lan2com
