#include "channels/startup_plan.h"

#include <stdexcept>

namespace lan2com {

std::string channelHeaderText(std::uint8_t pair) {
    return "Канал №" + std::to_string(pair);
}

std::array<std::string, 6> channelNodeTexts(const ChannelRecord& channel) {
    if (channel.Cnvrt >= kConversionCaptions.size()) {
        throw std::out_of_range("List index out of bounds (" + std::to_string(channel.Cnvrt) + ")");
    }
    return {channelHeaderText(channel.Pair),
            channel.AddrIP.str(),
            channel.ComIn.str(),
            channel.ComOut.str(),
            std::to_string(channel.Port),
            std::string(kConversionCaptions[channel.Cnvrt])};
}

std::vector<ChannelListGroup> buildChannelList(ChannelTable& table,
                                               const std::array<PortPair, kSlots>& portPairs) {
    std::vector<ChannelListGroup> list;
    const int length = table.listLength();
    for (int q = 0; q < length; ++q) {
        ChannelRecord& slot = table[q];
        for (const PortPair& entry : portPairs) {
            if (entry.Pair != 0 && slot.ComIn == entry.ComIn && slot.ComOut == entry.ComOut) {
                list.push_back(ChannelListGroup{q, channelNodeTexts(slot)});
                slot.Fnd = true;
                break;
            }
        }
    }
    return list;
}

std::vector<std::string> missingPairMessages(const ChannelTable& table) {
    std::vector<std::string> messages;
    const int length = table.listLength();
    for (int s = 0; s < length; ++s) {
        const ChannelRecord& p = table[s];
        if (!p.Fnd) {
            messages.push_back("Внимание! В com0com отсутствует пара " + p.ComIn.str() + "->" +
                               p.ComOut.str() + ". Прием от IP " + p.AddrIP.str() + " невозможен.");
        }
    }
    return messages;
}

StartupPlan planStartup(Registry& registry, SharedState& state) {
    StartupPlan plan;
    plan.discovery = discoverPairs(registry, state.portPairs);
    if (plan.discovery.noPairs) {
        plan.noPairs = true;
        state.table.emptyAll();
    } else {
        plan.load = loadChannels(registry, state.table);
        if (plan.load.configurationFound && plan.load.subkeyCount > 0) {
            plan.list = buildChannelList(state.table, state.portPairs);
            plan.pairCheckMessages = missingPairMessages(state.table);
        }
    }
    plan.storeWarnings = registry.takeNotices();
    for (const auto* warnings : {&plan.discovery.warnings, &plan.load.warnings}) {
        plan.storeWarnings.insert(plan.storeWarnings.end(), warnings->begin(), warnings->end());
    }
    return plan;
}

}  // namespace lan2com
