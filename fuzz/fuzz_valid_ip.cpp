// Any text: isValidTransceiverAddress never fails, and it accepts exactly the any-source code and
// the texts of four decimal numbers 0 to 255 joined by dots, 7 to 15 characters long.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/valid_ip.h"

namespace {

bool dottedQuad(const std::string& s) {
    if (s.size() < 7 || s.size() > 15) {
        return false;
    }
    int parts = 0;
    std::size_t digits = 0;
    unsigned value = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == '.') {
            if (digits == 0 || value > 255) {
                return false;
            }
            ++parts;
            digits = 0;
            value = 0;
        } else if (s[i] >= '0' && s[i] <= '9') {
            ++digits;
            value = value * 10 + static_cast<unsigned>(s[i] - '0');
            if (value > 255) {
                return false;
            }
        } else {
            return false;
        }
    }
    return parts == 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool expected = text == "<tqaWnsu" || dottedQuad(text);
    if (lan2com::isValidTransceiverAddress(text) != expected) {
        std::fprintf(stderr, "fuzz_valid_ip: isValidTransceiverAddress answers %s\n",
                     expected ? "false" : "true");
        std::abort();
    }
    return 0;
}
