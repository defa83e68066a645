#pragma once

// Checks on what the operator types into the address and port fields. Free of any toolkit, so
// that they can be tested and fuzzed on their own.

#include <string>

namespace lan2com {

// True when the text (UTF-8) is the any-source code, exactly as written, or a dotted IPv4
// address: four decimal numbers from 0 to 255 joined by three dots, 7 to 15 characters in all.
// Leading zeros are allowed (001.002.003.004). A part that is not a plain run of digits (letters
// of the any-source code, a sign, a blank) makes the text invalid; nothing is ever raised.
bool isValidTransceiverAddress(const std::string& ip);

// The key filter of the transceiver address, the receive port and the account filter: true when
// a typed character is kept, false when it is discarded. Kept are backspace, ".", the digits and
// the characters of the any-source code; the whole character is compared, so no character beyond
// the single-byte range is ever kept.
bool isAddressKey(char32_t ch);

}  // namespace lan2com
