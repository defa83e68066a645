#include "sim_codec.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace alarmsim {
namespace {

constexpr char kHeartbeat[] = "1011           @    \x14";
static_assert(sizeof(kHeartbeat) - 1 == kLineLength, "the heartbeat line has 21 bytes");

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

bool isUpperHex(std::uint8_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Puts the digits of a field at out[at …], each as its value; a zero as 10 when asked.
void putDigits(std::array<std::uint8_t, 16>& out, std::size_t at, const std::string& digits,
               std::size_t count, ZeroAs zero, const char* what) {
    if (digits.size() != count) {
        throw std::invalid_argument(std::string(what) + " must have " + std::to_string(count) +
                                    " digits");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const int v = hexValue(digits[i]);
        if (v < 0) {
            throw std::invalid_argument(std::string(what) + " must be hexadecimal digits");
        }
        out[at + i] = static_cast<std::uint8_t>(v == 0 && zero == ZeroAs::A ? 10 : v);
    }
}

std::string text(const std::vector<std::uint8_t>& bytes, std::size_t from, std::size_t count) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                       bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

}  // namespace

std::array<std::uint8_t, 16> encodeEvent(const EventFields& fields, ZeroAs zero) {
    std::array<std::uint8_t, 16> out{};
    putDigits(out, 0, fields.account, 4, zero, "the account");
    if (fields.level < 0 || fields.level > 15) {
        throw std::invalid_argument("the level must be 0 to 15");
    }
    out[4] = static_cast<std::uint8_t>(fields.level);
    out[5] = 0;
    putDigits(out, 6, fields.qualifier, 1, zero, "the qualifier");
    putDigits(out, 7, fields.event, 3, zero, "the event code");
    putDigits(out, 10, fields.group, 2, zero, "the group");
    putDigits(out, 12, fields.zone, 3, zero, "the zone");
    out[15] = 0;
    return out;
}

EventFields sequenceFields(const EventFields& first, std::uint64_t n) {
    const std::string start = first.group + first.zone;
    if (start.size() != 5 ||
        !std::all_of(start.begin(), start.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        throw std::invalid_argument("a sequence needs a decimal group and zone");
    }
    const std::uint64_t value = (std::stoull(start) + n) % 100000;
    char digits[8];
    std::snprintf(digits, sizeof digits, "%05u", static_cast<unsigned>(value));
    EventFields f = first;
    f.group.assign(digits, 2);
    f.zone.assign(digits + 2, 3);
    return f;
}

std::vector<std::uint8_t> servicePacket(std::size_t length) {
    if (length != 6 && length != 11 && length != 14) {
        throw std::invalid_argument("a service packet has 6, 11 or 14 bytes");
    }
    return std::vector<std::uint8_t>(length, 0);
}

bool isOkReply(const std::vector<std::uint8_t>& datagram) {
    return datagram.size() == 2 && datagram[0] == 'O' && datagram[1] == 'K';
}

ReceiverLine decodeLine(const std::vector<std::uint8_t>& frame) {
    ReceiverLine line;
    line.bytes = frame;
    if (frame.size() != kLineLength || frame.back() != kLineEnd) {
        return line;
    }
    if (std::equal(frame.begin(), frame.end(), kHeartbeat)) {
        line.kind = ReceiverLine::Kind::Heartbeat;
        return line;
    }
    const char q = static_cast<char>(frame[11]);
    const bool fieldsAreDigits = std::all_of(frame.begin() + 7, frame.begin() + 11, isUpperHex) &&
                                 std::all_of(frame.begin() + 12, frame.begin() + 20, isUpperHex);
    if (frame[0] != '5' || !isUpperHex(frame[1]) || !isUpperHex(frame[2]) ||
        text(frame, 3, 4) != "1 18" || (q != 'E' && q != 'R' && q != 'P') || !fieldsAreDigits) {
        return line;
    }
    line.kind = ReceiverLine::Kind::Event;
    line.channel =
        hexValue(static_cast<char>(frame[1])) * 16 + hexValue(static_cast<char>(frame[2]));
    line.account = text(frame, 7, 4);
    line.qualifier = q;
    line.event = text(frame, 12, 3);
    line.group = text(frame, 15, 2);
    line.zone = text(frame, 17, 3);
    return line;
}

std::vector<std::vector<std::uint8_t>> LineSplitter::feed(const std::uint8_t* data,
                                                          std::size_t size) {
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; i < size; ++i) {
        partial_.push_back(data[i]);
        if (data[i] == kLineEnd && partial_.size() > kLineLength) {
            // Stray bytes ahead of a line: they make a frame of their own, so that the line that
            // follows them is still read.
            const auto lineStart = partial_.end() - static_cast<std::ptrdiff_t>(kLineLength);
            frames.emplace_back(partial_.begin(), lineStart);
            frames.emplace_back(lineStart, partial_.end());
            partial_.clear();
        } else if (data[i] == kLineEnd || partial_.size() >= kMaxFrame) {
            frames.push_back(std::move(partial_));
            partial_.clear();
        }
    }
    return frames;
}

std::string escapeBytes(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            out += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

std::string describeLine(const ReceiverLine& line) {
    switch (line.kind) {
        case ReceiverLine::Kind::Event:
            return "kind=event channel=" + std::to_string(line.channel) +
                   " account=" + line.account + " qualifier=" + line.qualifier +
                   " event=" + line.event + " group=" + line.group + " zone=" + line.zone;
        case ReceiverLine::Kind::Heartbeat:
            return "kind=heartbeat";
        case ReceiverLine::Kind::Unknown:
            break;
    }
    return "kind=unknown length=" + std::to_string(line.bytes.size()) + " bytes=\"" +
           escapeBytes(line.bytes) + "\"";
}

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(rank, sorted.size() - 1)];
}

}  // namespace alarmsim
