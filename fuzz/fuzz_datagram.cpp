// Any datagram: its classification, digit text, level and (for events) receiver line on every
// channel and conversion mode keep their shape. A datagram that is not an event or a service
// packet is classified malformed, so the relay never makes a line of it.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "relay/conversion.h"

namespace {

void check(bool condition, const char* what, int line) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_datagram.cpp:%d: broken: %s\n", line, what);
        std::abort();
    }
}

#define require(condition) check((condition), #condition, __LINE__)

bool isHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

const char kHex[] = "0123456789ABCDEF";

void checkLine(const std::string& line, int channel) {
    require(line.size() == 21);
    require(line[0] == '5');
    require(line[1] == kHex[channel >> 4] && line[2] == kHex[channel & 15]);
    require(line.compare(3, 4, "1 18") == 0);
    for (std::size_t i = 7; i < 20; ++i) {
        if (i == 11) {
            require(line[i] == 'E' || line[i] == 'R' || line[i] == 'P');
        } else {
            require(isHexDigit(line[i]));
        }
    }
    require(line[20] == '\x14');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lan2com;
    const std::string cid = Data2CId(data, size);
    std::size_t expectedLength = 0;
    bool allDigits = true;
    for (std::size_t i = 0; i < size; ++i) {
        expectedLength += data[i] < 16 ? 1 : 2;
        allDigits = allDigits && data[i] < 16;
    }
    require(cid.size() == expectedLength);
    for (const char c : cid) {
        require(isHexDigit(c));
    }

    const std::string level = CId2Lvl(cid);
    require(level == "    " || level == "????" ||
            (level.size() == 8 && level[0] == '-' && level.compare(4, 4, " dBm") == 0));

    const DatagramKind kind = classifyDatagram(data, size);
    if (size == 6 || size == 11 || size == 14) {
        require(kind == DatagramKind::Service);
        return 0;
    }
    if (size != 16 || !allDigits) {
        require(kind == DatagramKind::Malformed);
        return 0;
    }
    require(kind == DatagramKind::Event);
    for (int channel = 1; channel <= 16; ++channel) {
        for (const int mode : {0, 1, 2, 255}) {
            const std::string line = CId2SG(cid, channel, static_cast<std::uint8_t>(mode));
            checkLine(line, channel);
            // The fields are the datagram's digits, converted where the mode says so.
            for (std::size_t at : {0u, 1u, 2u, 3u, 7u, 8u, 9u, 10u, 11u, 12u, 13u, 14u}) {
                const std::size_t pos = at < 4 ? 7 + at : 5 + at;
                char digit = cid[at];
                if (mode == 0 && digit == 'A') {
                    digit = '0';
                } else if (mode == 1 && digit == '0') {
                    digit = 'A';
                }
                require(line[pos] == digit);
            }
            require(line[11] == (cid[6] == '1' ? 'E' : cid[6] == '3' ? 'R' : 'P'));
        }
    }
    return 0;
}
