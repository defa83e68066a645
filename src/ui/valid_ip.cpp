#include "ui/valid_ip.h"

#include <cstddef>
#include <string_view>

#include "channels/channel_table.h"
#include "platform/cp1251.h"

namespace lan2com {

namespace {

constexpr std::size_t kShortestAddress = 7;  // 0.0.0.0
constexpr std::size_t kLongestAddress = 15;  // 255.255.255.255
constexpr int kDotsInAddress = 3;
constexpr unsigned kLargestPart = 255;

// True when the part is a non-empty run of decimal digits whose value is at most 255.
bool isAddressPart(std::u32string_view part) {
    if (part.empty()) {
        return false;
    }
    unsigned value = 0;
    for (const char32_t c : part) {
        if (c < U'0' || c > U'9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - U'0');
        if (value > kLargestPart) {
            return false;  // also keeps the value small however many digits follow
        }
    }
    return true;
}

}  // namespace

bool isValidTransceiverAddress(const std::string& ip) {
    if (ip == kAnySource) {
        return true;
    }
    const std::u32string text = decodeUtf8(ip);
    if (text.size() < kShortestAddress || text.size() > kLongestAddress) {
        return false;
    }
    std::u32string_view rest(text);
    for (int dot = 0; dot < kDotsInAddress; ++dot) {
        const std::size_t at = rest.find(U'.');
        if (at == std::u32string_view::npos || !isAddressPart(rest.substr(0, at))) {
            return false;
        }
        rest.remove_prefix(at + 1);
    }
    // A fifth part leaves a dot in the rest, which is then no number.
    return isAddressPart(rest);
}

bool isAddressKey(char32_t ch) {
    return inAddressKeySet(ch);
}

}  // namespace lan2com
