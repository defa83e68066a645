#include "platform/convert.h"

namespace lan2com {

std::int32_t parseInt32(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i == text.size()) {
        throw ConvertError(text);
    }
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            throw ConvertError(text);
        }
        value = value * 10 + (c - '0');
        if (value > 2147483648LL) {
            throw ConvertError(text);
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > 2147483647LL) {
        throw ConvertError(text);
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace lan2com
