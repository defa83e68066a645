#include "ui/channel_rules.h"

#include <cstdint>

#include "channels/startup_plan.h"
#include "platform/convert.h"
#include "ui/valid_ip.h"

namespace lan2com {

namespace {

constexpr std::int64_t kLowestReceivePort = 1;
constexpr std::int64_t kHighestReceivePort = 65535;

// The port the endpoint binds for a configured number: its low 16 bits.
std::int64_t boundPort(std::int64_t port) {
    return port & 0xFFFF;
}

}  // namespace

std::optional<int> requestedPair(const std::array<PortPair, kSlots>& pairs,
                                 const ChannelRequest& request) {
    if (const std::optional<int> p = request.chosenPair;
        p && *p >= 0 && *p < kSlots && pairs[static_cast<std::size_t>(*p)].Pair != 0) {
        return *p;
    }
    for (int p = 0; p < kSlots; ++p) {
        const PortPair& entry = pairs[static_cast<std::size_t>(p)];
        if (entry.Pair != 0 && entry.ComIn == request.comIn) {
            return p;
        }
    }
    return std::nullopt;
}

std::variant<Refusal, Creation> addChannel(const ChannelTable& table,
                                           const std::array<PortPair, kSlots>& pairs,
                                           const ChannelRequest& request) {
    if (request.transceiverAddress.empty() || request.comIn.empty() ||
        request.receivePort.empty()) {
        return Refusal{editor_text::kFillIn};
    }
    // The buttons take no focus, so an address still being typed has not been checked on
    // leaving its field: a channel with an address that no transceiver can have would never
    // receive anything.
    if (!isValidTransceiverAddress(request.transceiverAddress)) {
        return Refusal{editor_text::kBadAddress, true};
    }

    // Slot by slot, the port names first: a name already in use in slot 0 is refused before the
    // port text is first read as a number.
    std::optional<std::int64_t> port;
    for (int s = 0; s < kSlots; ++s) {
        const ChannelRecord& slot = table[s];
        if (slot.ComIn == request.comIn || slot.ComOut == request.comOut) {
            return Refusal{editor_text::kComPortInUse};
        }
        if (!port) {
            port = parseInt32(request.receivePort);  // ConvertError for a text that is no number
        }
        // Ports compare by what the endpoint binds: a stored 70000 takes port 4464, and so would
        // a new channel typed as 4464.
        if (boundPort(*port) == boundPort(slot.Port)) {
            return Refusal{editor_text::kReceivePortInUse};
        }
    }

    const int j = table.firstEmpty();
    if (j < 0) {
        return Refusal{editor_text::kTableFull};
    }
    // The endpoint takes only the low 16 bits of the port: a larger number would listen on
    // another port than the one the operator typed.
    if (*port < kLowestReceivePort || *port > kHighestReceivePort) {
        return Refusal{editor_text::kFillIn};
    }
    const std::optional<int> p = requestedPair(pairs, request);
    if (!p) {
        return Refusal{editor_text::kUnknownComPort};
    }

    const PortPair& pair = pairs[static_cast<std::size_t>(*p)];
    Creation created{table, j, {}};
    ChannelRecord& record = created.table[j];  // Fnd stays as the empty slot has it
    record.Pair = pair.Pair;
    record.ComIn = pair.ComIn.str();
    record.ComOut = pair.ComOut.str();
    record.AddrIP = request.transceiverAddress;
    record.Port = static_cast<std::uint32_t>(*port);
    record.Cnvrt = static_cast<std::uint8_t>(request.conversion);
    // The group shows the channel as it is kept and as start-up lists it: the pair's own port
    // names, the address as stored, the port as a number.
    created.nodes = channelNodeTexts(record);
    return created;
}

std::optional<ChannelTable> removeChannel(const ChannelTable& table, int slot) {
    ChannelTable next = table;
    if (!next.removeSlot(slot)) {
        return std::nullopt;
    }
    return next;
}

}  // namespace lan2com
