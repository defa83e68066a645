#pragma once

// The parts of start-up that need no window: the pair discovery and the load, the channel list
// to build (six nodes per listed channel) and the pair-check messages. The window's show handler
// runs planStartup and then does what the plan says: message boxes, tree nodes, activation.

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "channels/channel_table.h"
#include "channels/config_store.h"
#include "platform/registry.h"

namespace lan2com {

// The "no pairs" message of start-up (OK button, error icon, above all other windows).
inline constexpr std::string_view kNoPairsTitle = "Велтар.Ошибка";
inline constexpr std::string_view kNoPairsText =
    "Нет ни одной пары Сом-портов. Создайте пары и запустите приложение.";
// The title of the pair-check messages (OK button, warning icon, above all other windows).
inline constexpr std::string_view kPairCheckTitle = "Велтар. Проверка соответствия пар";
// A title for the warnings of the store (skipped pairs and channels, a registry file moved
// aside); they are warnings (OK button, warning icon), shown before the pair check.
inline constexpr std::string_view kStoreWarningTitle = "Велтар.Ошибка";

// The six nodes of one listed channel, and the table slot it belongs to. nodes[0] is the header
// (top level), nodes[1 … 5] its children: AddrIP, ComIn, ComOut, Port, conversion caption.
struct ChannelListGroup {
    int slot = 0;
    std::array<std::string, 6> nodes;
};

// "Канал №" followed by the channel number in decimal.
std::string channelHeaderText(std::uint8_t pair);
// The six node texts of a channel. A Cnvrt outside 0 … 2 fails with std::out_of_range
// "List index out of bounds (<Cnvrt>)".
std::array<std::string, 6> channelNodeTexts(const ChannelRecord& channel);

// The channel list of start-up: for each slot of the list (slot order), the first filled portPairs
// entry with the same ComIn and ComOut (exact comparison, case included) makes the channel listed
// and sets its Fnd. Each channel is listed at most once, and only filled entries count (an
// unfilled entry's empty names never match).
std::vector<ChannelListGroup> buildChannelList(ChannelTable& table,
                                               const std::array<PortPair, kSlots>& portPairs);

// The pair check: one message text per slot whose Fnd is false, walking from slot 0 to the first
// empty slot: "Внимание! В com0com отсутствует пара <ComIn>-><ComOut>. Прием от IP <AddrIP>
// невозможен."
std::vector<std::string> missingPairMessages(const ChannelTable& table);

// What start-up must do, steps 3 to 7 of the show handler.
struct StartupPlan {
    // Notices of the registry itself (takeNotices, e.g. a registry file moved aside), then the
    // warnings of discovery and load: show each with kStoreWarningTitle before anything else.
    std::vector<std::string> storeWarnings;
    // No pairs: show kNoPairsText, ask the window to close; the table is empty; start-up ends.
    bool noPairs = false;
    PairDiscovery discovery;  // comPortCombo items
    ChannelLoad load;  // localAddress / receivePort, configurationFound (false: start-up ends)
    std::vector<ChannelListGroup> list;          // nodes to append, in order
    std::vector<std::string> pairCheckMessages;  // show each with kPairCheckTitle
    // Start-up goes on to select the first node, run showSelectedChannel and activate the slots.
    bool proceed() const { return !noPairs && load.configurationFound; }
};

// Discovers the pairs into state.portPairs, empties the table, loads the channels, builds the list
// (setting Fnd) and the pair-check messages. Registry failures reach the caller.
StartupPlan planStartup(Registry& registry, SharedState& state);

}  // namespace lan2com
