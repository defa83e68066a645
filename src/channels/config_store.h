#pragma once

// The configuration store and the discovery of the virtual port pairs, over the registry:
//
//   HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM     the serial-port device map, read only
//   HKEY_LOCAL_MACHINE\SOFTWARE\Vesko\Device\ComIP      AddrIP (text): the local PC address
//     \Pair<n>, one per channel                          Pair, Port, Conv (integers),
//                                                        AddrIP, ComIn, ComOut (texts)
//
// These functions touch no widget: they fill the shared tables and answer what the window must
// show. Registry failures (RegistryError, ConvertError) reach the caller.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_table.h"
#include "platform/registry.h"

namespace lan2com {

inline constexpr std::string_view kDeviceMapKey = "\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Everything below this key belongs to lan2com alone; storeChannels deletes it before writing.
inline constexpr std::string_view kVendorKey = "\\SOFTWARE\\Vesko";
inline constexpr std::string_view kConfigKey = "\\SOFTWARE\\Vesko\\Device\\ComIP";
// The integer value under the configuration key that sets how many days the event journal keeps
// its rows. Not part of the channel table: storing the channels keeps it.
inline constexpr const char* kJournalDaysValue = "JournalDays";
// What the port field receivePortEdit receives when the stored local address is not text.
inline constexpr std::string_view kPortInFallback = "10301";

// One item of the drop-down list comPortCombo: the text and its attached value (the portPairs
// index).
struct ComboItem {
    std::string text;
    int index = 0;
    bool operator==(const ComboItem& o) const { return text == o.text && index == o.index; }
};

struct PairDiscovery {
    // The device map lists fewer than two values: start-up shows its "no pairs" message and ends.
    bool noPairs = false;
    int count = 0;                      // portPairs entries filled: 0 … count-1
    std::vector<ComboItem> comboItems;  // portPairs[k].ComIn with k, in order
    std::vector<std::string> warnings;  // Russian texts for the operator, each one message
};

// Reads the device map and fills portPairs from index 0 (every other entry is reset: Pair 0, empty
// names). A value whose name holds "com0com" first at its ninth character names a port of a
// virtual pair; the characters after the suffix's first one are the pair number (com0com10:
// pair 0, channel 1; com0com110: pair 10, channel 11), and the channel number is that number
// plus one.
//
// The null-modem driver names the two ports of pair N \Device\com0com1N (the port lan2com
// opens: ComIn) and \Device\com0com2N (the monitoring software's port: ComOut), and the
// registry lists them in no promised order (the driver removes and re-adds a port's value when
// the port restarts). Values named that way therefore pair by their number, wherever each one
// sits; a half without its partner, or a half whose number two values bear, is offered to
// nobody, with a warning. A value with another suffix (its first character neither 1 nor 2)
// takes the next value as its second port, whatever that value's name, unless that value is a
// half named after the pattern (then it has no pair, with a warning).
//
// A name whose number is missing, not decimal, or gives a channel number outside 1 … 254 is
// skipped (only that value; the next value is examined as usual), with a warning. The pairs are
// listed by channel number (ties in device-map order), so that the list is the same at every
// start; pairs beyond sixteen are ignored with one warning.
PairDiscovery discoverPairs(Registry& registry, std::array<PortPair, kSlots>& portPairs);

struct ChannelLoad {
    bool configurationFound = false;          // false: no configuration key; nothing was loaded
    std::optional<std::string> localAddress;  // the stored local address, for its field
    std::optional<std::string> receivePort;   // "10301" when the stored address is not text
    int subkeyCount = 0;                      // channel subkeys listed under the configuration key
    int loaded = 0;                           // slots filled: 0 … loaded-1
    std::vector<std::string> warnings;        // Russian texts for the operator, each one message
};

// Empties the table, then loads the channel subkeys into slots 0, 1, 2 … in the registry's listing
// order. A subkey that cannot be loaded (a missing or non-integer Pair, Port or Conv; a Pair whose
// channel number is outside 1 … 254; a Conv outside 0 … 2; a text value that is not text) is
// skipped: the others load into consecutive slots, and one warning names each skipped subkey and
// what is wrong with it. Subkeys beyond sixteen are ignored with one warning.
ChannelLoad loadChannels(Registry& registry, ChannelTable& table);

// Replaces the stored configuration: deletes \SOFTWARE\Vesko, then, when the channel list shows a
// channel, writes the local address and one Pair<n> subkey per occupied slot in slot order (two
// slots with the same Pair share one subkey; the later slot's values remain). Runs as one batch
// of the registry: on the registry file a failure leaves the previous configuration in place.
void storeChannels(Registry& registry, const ChannelTable& table, const std::string& localAddress,
                   bool listShowsChannel);

}  // namespace lan2com
