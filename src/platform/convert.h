#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace lan2com {

// A text that is not a decimal integer: "'<text>' is not a valid integer value".
class ConvertError : public std::runtime_error {
  public:
    explicit ConvertError(std::string_view text)
        : std::runtime_error("'" + std::string(text) + "' is not a valid integer value") {}
};

// Reads a signed 32-bit decimal integer: an optional sign and at least one digit, nothing else
// (no blanks, no hexadecimal). Anything else, or a number out of range, raises ConvertError.
std::int32_t parseInt32(std::string_view text);

}  // namespace lan2com
