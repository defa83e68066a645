#pragma once

// The rules of creating and deleting a channel, over the channel table and the discovered pairs
// alone: the editor reads its fields into a request, asks these functions, and shows the answer.

#include <array>
#include <optional>
#include <string>
#include <variant>

#include "channels/channel_table.h"

namespace lan2com {

// Messages of the editor; every one is shown with the title kRefusalTitle, an OK button and the
// error icon.
namespace editor_text {
inline constexpr const char* kRefusalTitle = "Ошибка";
inline constexpr const char* kFillIn =
    "Проверьте заполнение IP-адреса источника, Сом-порта приложения и порта приема.";
inline constexpr const char* kComPortInUse = "Повторное применение Сом-порта запрешено";
inline constexpr const char* kReceivePortInUse = "Повторное применение порта приема запрешено";
inline constexpr const char* kTableFull =
    "Создано 16 каналов, больше создать нельзя. Удалите канал и повторите создание.";
inline constexpr const char* kUnknownComPort =
    "Сом-порт приложения не найден среди пар виртуальных Сом-портов. "
    "Выберите Сом-порт из списка.";
inline constexpr const char* kBadAddress = "Нарушен формат IP-адреса.";
}  // namespace editor_text

// What the editor's fields say when the operator asks for a new channel (texts in UTF-8).
struct ChannelRequest {
    std::string transceiverAddress;
    std::string comIn;        // the application-side port, chosen or typed
    std::string comOut;       // the monitoring-side port the editor shows
    std::string receivePort;  // as typed
    // The portPairs index of the item chosen in the port list, when one is chosen and its text
    // is still shown; a typed name is looked up among the pairs instead.
    std::optional<int> chosenPair;
    int conversion = 0;  // the chosen conversion mode; -1 when none is chosen
};

// A refusal: its message, and whether the transceiver address is what was wrong (the editor then
// gives that field the focus back).
struct Refusal {
    const char* text = "";
    bool addressField = false;
};

// A created channel: the new table, the slot the channel went into, and the six node texts of
// its group in the channel list.
struct Creation {
    ChannelTable table;
    int slot = -1;
    std::array<std::string, 6> nodes;
};

// The pair a request names: its chosen item when that item is a discovered pair, otherwise the
// discovered pair whose application-side port the typed name is.
std::optional<int> requestedPair(const std::array<PortPair, kSlots>& pairs,
                                 const ChannelRequest& request);

// Creates the channel a request describes in the first empty slot, or refuses: a field left
// empty, an address no transceiver can have, a COM port or receive port (compared by the low 16
// bits that the endpoint binds) that a slot already uses, a full table, a port outside 1 … 65535,
// a port name that is no discovered pair. A receive port that is not a decimal integer raises
// ConvertError, once a slot's port has to be compared with it; a conversion mode that is not one
// raises std::out_of_range. The table passed in is never changed.
std::variant<Refusal, Creation> addChannel(const ChannelTable& table,
                                           const std::array<PortPair, kSlots>& pairs,
                                           const ChannelRequest& request);

// The table without the channel of a slot: every later channel moves down one slot, the last
// occupied slot is emptied and its port set to 0. Nothing when the slot holds no channel.
std::optional<ChannelTable> removeChannel(const ChannelTable& table, int slot);

}  // namespace lan2com
