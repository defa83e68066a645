#pragma once

// What alarm-sim puts on the wire and reads from it: the 16-byte event datagram of a transceiver,
// service packets, the receiver lines and heartbeat lines that the monitoring software reads from
// its COM port, and the replies it gives.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace alarmsim {

// The fields of one Contact ID event as digit texts (upper-case hexadecimal digits).
struct EventFields {
    std::string account = "0000";  // 4 digits
    std::string qualifier = "1";   // 1 digit: 1 new event, 3 restore, 6 status
    std::string event = "000";     // 3 digits
    std::string group = "00";      // 2 digits
    std::string zone = "000";      // 3 digits (zone or user)
    int level = 1;                 // signal level code 0 to 15 (1: none)
};

// How the digit 0 of a field travels in the datagram: as the value 10 ('A'), the way transceivers
// send Contact ID zeros and a channel with the "A->0" conversion reads them; or as the value 0.
enum class ZeroAs { A, Zero };

// The 16-byte event datagram: byte i carries digit i as a value 0 to 15. Digits 1-4 account,
// 5 level, 6 unused (0), 7 qualifier, 8-10 event, 11-12 group, 13-15 zone, 16 unused (0).
// The fields must hold only hexadecimal digits of the right counts (the argument parser makes
// sure); std::invalid_argument otherwise.
std::array<std::uint8_t, 16> encodeEvent(const EventFields& fields, ZeroAs zero);

// The fields of the n-th event of a sequence (n from 0): group and zone together read as one
// five-digit decimal number that counts up by n, wrapping from 99999 to 00000. Group and zone
// must be decimal.
EventFields sequenceFields(const EventFields& first, std::uint64_t n);

// A service packet of 6, 11 or 14 bytes (the relay does not look at its content).
std::vector<std::uint8_t> servicePacket(std::size_t length);

// The reply of the relay to an acknowledged event.
bool isOkReply(const std::vector<std::uint8_t>& datagram);

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kLineEnd = 0x14;  // DC4, the last byte of every line
constexpr std::size_t kLineLength = 21;

// One line read from the COM port, decoded.
struct ReceiverLine {
    enum class Kind {
        Event,      // "5" cc "1 18" aaaa q eee gg zzz DC4
        Heartbeat,  // "1011", 11 blanks, "@", 4 blanks, DC4
        Unknown,    // anything else (of any length) that ended in DC4 or overflowed
    };
    Kind kind = Kind::Unknown;
    int channel = 0;                  // Event: the channel number of the line (1 to 255)
    std::string account;              // Event: 4 characters
    char qualifier = '?';             // Event: 'E', 'R' or 'P'
    std::string event;                // Event: 3 characters
    std::string group;                // Event: 2 characters
    std::string zone;                 // Event: 3 characters
    std::vector<std::uint8_t> bytes;  // the line as received, DC4 included
};

// Decodes one frame (the bytes up to and including a DC4, or an overflowing run without one).
ReceiverLine decodeLine(const std::vector<std::uint8_t>& frame);

// Cuts the byte stream of a COM port into frames: each frame ends with DC4. Of a run of more than
// 21 bytes up to a DC4, the last 21 make one frame (the line) and the bytes before them another.
// A run of kMaxFrame bytes without DC4 is cut there as a frame of its own, so that garbage never
// piles up.
class LineSplitter {
  public:
    static constexpr std::size_t kMaxFrame = 64;

    // Appends received bytes; answers the frames completed by them, in order.
    std::vector<std::vector<std::uint8_t>> feed(const std::uint8_t* data, std::size_t size);
    // The bytes of an unfinished frame (for the end of a run).
    const std::vector<std::uint8_t>& pending() const { return partial_; }

  private:
    std::vector<std::uint8_t> partial_;
};

// "kind=event channel=3 account=1234 …": a decoded line as the monitor prints it, without
// the timestamp. Bytes outside the printable ASCII range appear as \xNN.
std::string describeLine(const ReceiverLine& line);

// Bytes as text with every byte outside the printable ASCII range, the backslash and the double
// quote as \xNN.
std::string escapeBytes(const std::vector<std::uint8_t>& bytes);

// The p-th quantile (0 to 1) of sorted values by the nearest rank; 0 for none.
double percentile(const std::vector<double>& sorted, double p);

}  // namespace alarmsim
