#include "relay/conversion.h"

#include "channels/channel_table.h"

namespace lan2com {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

}  // namespace

std::string Data2CId(const std::uint8_t* data, std::size_t length) {
    std::string cid;
    cid.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t b = data[i];
        if (b >= 16) {
            cid += kHex[b >> 4];
        }
        cid += kHex[b & 0x0F];
    }
    return cid;
}

std::string CId2Lvl(std::string_view cid) {
    int code = 1;  // a missing or non-hexadecimal 5th digit counts as 1
    if (cid.size() >= 5) {
        const char c = cid[4];
        if (c >= '0' && c <= '9') {
            code = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            code = c - 'A' + 10;
        } else if (c >= 'a' && c <= 'f') {
            code = c - 'a' + 10;
        }
    }
    switch (code) {
        case 1:
            return "    ";
        case 3:
            return "- 62 dBm";
        case 5:
            return "- 70 dBm";
        case 7:
            return "- 78 dBm";
        case 9:
            return "- 86 dBm";
        case 11:
            return "- 94 dBm";
        case 13:
            return "-102 dBm";
        case 15:
            return "-110 dBm";
        default:
            return "????";
    }
}

std::string CId2SG(std::string cid, int rr, std::uint8_t mode) {
    const char qualifier = cid[6] == '1' ? 'E' : cid[6] == '3' ? 'R' : 'P';
    for (std::size_t i = 0; i < 15; ++i) {
        if (mode == 0 && cid[i] == 'A') {
            cid[i] = '0';
        } else if (mode == 1 && cid[i] == '0') {
            cid[i] = 'A';
        }
    }
    std::string line;
    line.reserve(21);
    line += '5';
    line += kHex[(rr >> 4) & 0x0F];
    line += kHex[rr & 0x0F];
    line += "1 18";
    line.append(cid, 0, 4);  // account
    line += qualifier;
    line.append(cid, 7, 3);   // event code
    line.append(cid, 10, 2);  // group
    line.append(cid, 12, 3);  // zone or user
    line += '\x14';
    return line;
}

std::string CId2SG(std::string cid, int rr, const ChannelTable& table) {
    return CId2SG(std::move(cid), rr, table[rr - 1].Cnvrt);
}

DatagramKind classifyDatagram(const std::uint8_t* data, std::size_t length) {
    if (length == 6 || length == 11 || length == 14) {
        return DatagramKind::Service;
    }
    if (length != 16) {
        return DatagramKind::Malformed;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (data[i] > 15) {
            return DatagramKind::Malformed;
        }
    }
    return DatagramKind::Event;
}

}  // namespace lan2com
