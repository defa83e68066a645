#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lan2com {

class ChannelTable;

// Renders the bytes of a datagram as the digit text: each byte in upper-case hexadecimal without
// leading zeros (0x00 "0", 0x0A "A", 0x1F "1F").
std::string Data2CId(const std::uint8_t* data, std::size_t length);

// The signal level text of a digit text, from its 5th digit.
std::string CId2Lvl(std::string_view cid);

// The 21-byte receiver line of channel rr (1 to 16) for a digit text of at least 15 characters,
// with the digit conversion mode m (0 "A->0", 1 "0->A", anything else: none).
std::string CId2SG(std::string cid, int rr, std::uint8_t mode);
// The same, with the conversion mode of the channel's record records[rr-1].
std::string CId2SG(std::string cid, int rr, const ChannelTable& table);

// What a datagram is to the relay.
enum class DatagramKind {
    Event,      // 16 bytes, every byte a digit 0 to 15
    Service,    // 6, 11 or 14 bytes: the heartbeat line is written instead
    Malformed,  // anything else: dropped like a datagram from a foreign address
};
DatagramKind classifyDatagram(const std::uint8_t* data, std::size_t length);

}  // namespace lan2com
