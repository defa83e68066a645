#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/cp1251.h"

namespace lan2com {

constexpr int kSlots = 16;  // channels of the system; slot s is served by component s+1
constexpr std::uint8_t kEmptyPair = 255;

// A text of fixed capacity as the records keep it: single-byte text (code page 1251) of at most
// N characters. Longer text is cut when it enters; it is held and handed out as UTF-8.
template <std::size_t N>
class ShortText {
  public:
    ShortText() = default;
    explicit ShortText(std::string_view utf8) : text_(cutText(utf8, N)) {}
    ShortText& operator=(std::string_view utf8) {
        text_ = cutText(utf8, N);
        return *this;
    }
    ShortText& operator=(const char* utf8) { return *this = std::string_view(utf8); }

    const std::string& str() const { return text_; }
    bool empty() const { return text_.empty(); }
    static constexpr std::size_t capacity() { return N; }

    friend bool operator==(const ShortText& a, const ShortText& b) { return a.text_ == b.text_; }
    friend bool operator!=(const ShortText& a, const ShortText& b) { return !(a == b); }
    friend bool operator==(const ShortText& a, std::string_view b) { return a.text_ == b; }
    friend bool operator!=(const ShortText& a, std::string_view b) { return a.text_ != b; }
    friend std::ostream& operator<<(std::ostream& out, const ShortText& t) {
        return out << t.text_;
    }

  private:
    std::string text_;
};

// One channel of the table.
struct ChannelRecord {
    std::uint8_t Pair = 0;   // channel number: virtual pair number + 1; 255 in an empty slot
    ShortText<7> ComIn;      // application-side port, the one this program opens
    ShortText<7> ComOut;     // monitoring-side port of the same pair
    ShortText<15> AddrIP;    // transceiver address, or the any-source code
    std::uint32_t Port = 0;  // UDP receive port as configured (the endpoint takes the low 16 bits)
    bool Fnd = false;        // the pair was found among the discovered pairs (start-up only)
    std::uint8_t Cnvrt = 0;  // digit conversion: 0 "A->0", 1 "0->A", 2 "нет"; 255 when empty

    bool isEmpty() const { return Pair == kEmptyPair; }
};

// One virtual port pair found in the device map.
struct PortPair {
    std::uint8_t Pair = 0;  // pair number + 1; 0 in an entry that discovery did not fill
    ShortText<7> ComIn;     // port named by the pair's first device-map value
    ShortText<7> ComOut;    // port named by the second
};

// The channel table. Occupied slots are always a prefix: the first empty slot ends the
// list. Zero-filled at process start (start-up empties every slot before anything reads it).
class ChannelTable {
  public:
    std::array<ChannelRecord, kSlots> records{};

    ChannelRecord& operator[](int slot) { return records.at(static_cast<std::size_t>(slot)); }
    const ChannelRecord& operator[](int slot) const {
        return records.at(static_cast<std::size_t>(slot));
    }

    // Empties one slot: Pair 255, empty texts, Fnd false, Cnvrt 255; Port is left as it was.
    void emptySlot(int slot);
    // Empties all sixteen slots (start-up).
    void emptyAll();

    // List walkers: start at slot 0 and stop at the first empty slot, or after slot 15.
    int listLength() const;  // number of slots before the first empty one
    int firstEmpty() const;  // -1 when all sixteen are occupied
    bool isFull() const { return firstEmpty() < 0; }
    // Whether any of the sixteen slots holds a channel (wherever it is).
    bool anyOccupied() const {
        bool any = false;
        forEachOccupied([&any](int, const ChannelRecord&) { any = true; });
        return any;
    }

    // Removes the channel in slot t: every later channel moves down one slot (whole records),
    // then the last occupied slot is emptied and its Port set to 0. Answers false, changing
    // nothing, when t is not an occupied slot of the list.
    bool removeSlot(int t);

    // Per-slot readers visit all sixteen slots and skip the empty ones.
    template <typename F>
    void forEachOccupied(F&& visit) const {
        for (int s = 0; s < kSlots; ++s) {
            if (!records[static_cast<std::size_t>(s)].isEmpty()) {
                visit(s, records[static_cast<std::size_t>(s)]);
            }
        }
    }
};

// Everything that lives for the whole run, owned by the station and shared by the configuration
// code, the channel editor and the display of the relay. Main thread only; no locks.
struct SharedState {
    ChannelTable table;                        // the sixteen slots
    std::array<PortPair, kSlots> portPairs{};  // discovered pairs, from index 0
    std::int32_t logLines = 0;                 // diagnostics log line count after the last entry
};

// The heartbeat line: "1011", eleven blanks, "@", four blanks, DC4. The same on every channel.
constexpr std::array<std::uint8_t, 21> kHeartbeatLine = {'1', '0', '1', '1', ' ', ' ', ' ',
                                                         ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                                         ' ', '@', ' ', ' ', ' ', ' ', 0x14};

// The any-source code: as a channel's AddrIP it accepts datagrams from every address.
constexpr std::string_view kAnySource = "<tqaWnsu";

// SetIP: the characters that the key filters of the address and port fields admit: backspace,
// ".", the digits and the characters of the any-source code.
bool inAddressKeySet(char32_t c);

// The captions of the conversion modes, by Cnvrt.
constexpr std::array<std::string_view, 3> kConversionCaptions = {"A->0", "0->A", "нет"};

}  // namespace lan2com
