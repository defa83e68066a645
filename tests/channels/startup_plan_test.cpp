#include "channels/startup_plan.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/tree_registry.h"

namespace lan2com {
namespace {

using Texts = std::vector<std::string>;

void setChannel(ChannelRecord& p, std::uint8_t pair, const char* in, const char* out,
                const char* addr, std::uint32_t port, std::uint8_t conv) {
    p.Pair = pair;
    p.ComIn = in;
    p.ComOut = out;
    p.AddrIP = addr;
    p.Port = port;
    p.Cnvrt = conv;
    p.Fnd = false;
}

void setPair(PortPair& v, std::uint8_t pair, const char* in, const char* out) {
    v.Pair = pair;
    v.ComIn = in;
    v.ComOut = out;
}

// A flat list of node texts, as the tree shows them one after another.
Texts flat(const std::vector<ChannelListGroup>& list) {
    Texts out;
    for (const auto& g : list) {
        out.insert(out.end(), g.nodes.begin(), g.nodes.end());
    }
    return out;
}

TEST(ChannelList, NodeTextsOfAChannel) {
    ChannelRecord p;
    setChannel(p, 10, "COM10", "COM11", "192.168.0.10", 4294967295u, 0);
    EXPECT_EQ(channelNodeTexts(p), (std::array<std::string, 6>{"Канал №10", "192.168.0.10", "COM10",
                                                               "COM11", "4294967295", "A->0"}));
    p.Cnvrt = 1;
    EXPECT_EQ(channelNodeTexts(p)[5], "0->A");
    p.Cnvrt = 2;
    EXPECT_EQ(channelNodeTexts(p)[5], "нет");
    EXPECT_EQ(channelHeaderText(1), "Канал №1");
    EXPECT_EQ(channelHeaderText(254), "Канал №254");
    p.Cnvrt = 3;
    try {
        channelNodeTexts(p);
        ADD_FAILURE() << "a conversion mode outside the radio group was accepted";
    } catch (const std::out_of_range& e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (3)");
    }
}

TEST(ChannelList, ListsFoundChannelsAndWarnsAboutTheOthersInSlotOrder) {
    ChannelTable t;
    t.emptyAll();
    setChannel(t[0], 1, "COM10", "COM11", "10.0.0.1", 5001, 0);
    setChannel(t[1], 2, "COM12", "COM13", "10.0.0.2", 5002, 1);  // its pair is gone
    setChannel(t[2], 3, "COM14", "COM15", "10.0.0.3", 5003, 2);
    std::array<PortPair, kSlots> vcp{};
    setPair(vcp[0], 3, "COM14", "COM15");
    setPair(vcp[1], 1, "COM10", "COM11");

    const auto list = buildChannelList(t, vcp);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].slot, 0);
    EXPECT_EQ(list[1].slot, 2);
    const Texts nodes = flat(list);
    ASSERT_EQ(nodes.size(), 12u);
    EXPECT_EQ(nodes[0], "Канал №1");
    EXPECT_EQ(nodes[6], "Канал №3");  // the header of the t-th listed channel is node 6t
    EXPECT_EQ(nodes[11], "нет");
    EXPECT_TRUE(t[0].Fnd);
    EXPECT_FALSE(t[1].Fnd);
    EXPECT_TRUE(t[2].Fnd);
    EXPECT_EQ(missingPairMessages(t),
              Texts{"Внимание! В com0com отсутствует пара COM12->COM13. Прием от IP 10.0.0.2 "
                    "невозможен."});
}

TEST(ChannelList, ComparesPortNamesExactly) {
    ChannelTable t;
    t.emptyAll();
    setChannel(t[0], 1, "COM5", "COM6", "<tqaWnsu", 1, 0);
    std::array<PortPair, kSlots> vcp{};
    setPair(vcp[0], 1, "com5", "COM6");
    setPair(vcp[1], 2, "COM5", "COM7");  // right first port, wrong second
    EXPECT_TRUE(buildChannelList(t, vcp).empty());
    EXPECT_FALSE(t[0].Fnd);
    EXPECT_EQ(missingPairMessages(t),
              Texts{"Внимание! В com0com отсутствует пара COM5->COM6. Прием от IP <tqaWnsu "
                    "невозможен."});
}

TEST(ChannelList, SixteenFoundChannelsFillNinetySixNodes) {
    ChannelTable t;
    std::array<PortPair, kSlots> vcp{};
    for (int s = 0; s < kSlots; ++s) {
        const std::string in = "COM" + std::to_string(2 * s + 1);
        const std::string out = "COM" + std::to_string(2 * s + 2);
        setChannel(t[s], static_cast<std::uint8_t>(s + 1), in.c_str(), out.c_str(), "10.0.0.1",
                   static_cast<std::uint32_t>(6000 + s), 0);
        setPair(vcp[static_cast<std::size_t>(kSlots - 1 - s)], static_cast<std::uint8_t>(s + 1),
                in.c_str(), out.c_str());
    }
    const auto list = buildChannelList(t, vcp);
    ASSERT_EQ(list.size(), 16u);
    EXPECT_EQ(flat(list).size(), 96u);
    for (int s = 0; s < kSlots; ++s) {
        EXPECT_EQ(list[static_cast<std::size_t>(s)].slot, s);  // table order, not pair order
    }
    EXPECT_EQ(flat(list)[90], "Канал №16");
    EXPECT_TRUE(missingPairMessages(t).empty());
}

TEST(ChannelList, EachChannelIsListedOnceAndOnlyForADiscoveredPair) {
    ChannelTable t;
    t.emptyAll();
    setChannel(t[0], 1, "COM1", "COM2", "10.0.0.1", 1, 0);
    setChannel(t[1], 2, "", "", "10.0.0.2", 2, 0);  // stored without its port names
    std::array<PortPair, kSlots> vcp{};
    setPair(vcp[0], 1, "COM1", "COM2");
    setPair(vcp[1], 1, "COM1", "COM2");  // the same pair twice in the device map
    // vcp[2 …] are not filled: their empty names must not make channel 2 look found
    const auto list = buildChannelList(t, vcp);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].slot, 0);
    EXPECT_FALSE(t[1].Fnd);
    EXPECT_EQ(missingPairMessages(t).size(), 1u);
}

TEST(ChannelList, ThePairCheckStopsAtTheFirstEmptySlot) {
    ChannelTable t;
    t.emptyAll();
    setChannel(t[0], 1, "COM1", "COM2", "10.0.0.1", 1, 0);
    setChannel(t[2], 3, "COM5", "COM6", "10.0.0.3", 3, 0);  // beyond the end of the list
    const auto messages = missingPairMessages(t);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("COM1->COM2"), std::string::npos);
}

// ---- the whole plan --------------------------------------------------------------------------

class NoticingRegistry : public MemoryRegistry {
  public:
    std::vector<std::string> notices;
    std::vector<std::string> takeNotices() override { return std::exchange(notices, {}); }
};

void addDeviceMap(MemoryRegistry& r, const std::vector<std::pair<std::string, std::string>>& v) {
    r.createKey(std::string(kDeviceMapKey));
    ASSERT_TRUE(r.openKey(std::string(kDeviceMapKey)));
    for (const auto& [name, port] : v) {
        r.writeString(name, port);
    }
}

void addChannel(MemoryRegistry& r, int pair, const char* in, const char* out, int conv = 0) {
    const std::string key = std::string(kConfigKey) + "\\Pair" + std::to_string(pair);
    r.createKey(key);
    ASSERT_TRUE(r.openKey(key));
    r.writeInteger("Pair", pair);
    r.writeString("ComIn", in);
    r.writeString("ComOut", out);
    r.writeString("AddrIP", "10.0.0." + std::to_string(pair));
    r.writeInteger("Port", 5000 + pair);
    r.writeInteger("Conv", conv);
}

TEST(PlanStartup, NoPairsEndsStartUpWithAnEmptyTable) {
    NoticingRegistry r;
    addDeviceMap(r, {{"\\Device\\com0com10", "COM10"}});
    addChannel(r, 1, "COM10", "COM11");
    SharedState state;
    state.table[0].Pair = 1;
    const StartupPlan plan = planStartup(r, state);
    EXPECT_TRUE(plan.noPairs);
    EXPECT_FALSE(plan.proceed());
    EXPECT_FALSE(plan.load.configurationFound);
    EXPECT_EQ(state.table.listLength(), 0);
    EXPECT_TRUE(state.table[0].isEmpty());
    EXPECT_EQ(state.table[0].Cnvrt, kEmptyPair);
}

TEST(PlanStartup, PairsWithoutConfigurationFillOnlyTheDropDownList) {
    NoticingRegistry r;
    addDeviceMap(r, {{"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com20", "COM11"}});
    SharedState state;
    const StartupPlan plan = planStartup(r, state);
    EXPECT_FALSE(plan.noPairs);
    EXPECT_FALSE(plan.proceed());
    EXPECT_EQ(plan.discovery.comboItems, (std::vector<ComboItem>{{"COM10", 0}}));
    EXPECT_TRUE(plan.list.empty());
    EXPECT_TRUE(plan.pairCheckMessages.empty());
}

TEST(PlanStartup, AConfigurationKeyWithoutSubkeysListsNothingAndWarnsAboutNothing) {
    NoticingRegistry r;
    addDeviceMap(r, {{"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com20", "COM11"}});
    r.createKey(std::string(kConfigKey));
    SharedState state;
    const StartupPlan plan = planStartup(r, state);
    EXPECT_TRUE(plan.proceed());
    EXPECT_EQ(plan.load.subkeyCount, 0);
    EXPECT_TRUE(plan.list.empty());
    EXPECT_TRUE(plan.pairCheckMessages.empty());
    EXPECT_TRUE(plan.storeWarnings.empty());
}

TEST(PlanStartup, GathersEverythingTheWindowMustShowInOrder) {
    NoticingRegistry r;
    addDeviceMap(r, {{"\\Device\\com0com10", "COM10"},
                     {"\\Device\\com0com20", "COM11"},
                     {"\\Device\\com0com1z", "COM12"},
                     {"\\Device\\com0com11", "COM14"},
                     {"\\Device\\com0com21", "COM15"}});
    addChannel(r, 2, "COM14", "COM15", 1);
    addChannel(r, 5, "COM20", "COM21");
    addChannel(r, 1, "COM10", "COM11", 7);  // unloadable
    addChannel(r, 1, "COM10", "COM11");     // … until rewritten: the same subkey
    addChannel(r, 9, "COM30", "COM31", 9);
    r.notices = {"файл реестра перенесён"};
    SharedState state;
    const StartupPlan plan = planStartup(r, state);
    EXPECT_TRUE(plan.proceed());
    EXPECT_EQ(plan.load.subkeyCount, 4);
    EXPECT_EQ(plan.load.loaded, 3);
    ASSERT_EQ(plan.list.size(), 2u);
    EXPECT_EQ(plan.list[0].nodes[0], "Канал №2");
    EXPECT_EQ(plan.list[0].nodes[5], "0->A");
    EXPECT_EQ(plan.list[1].slot, 2);
    EXPECT_EQ(plan.list[1].nodes[0], "Канал №1");
    EXPECT_EQ(plan.pairCheckMessages,
              Texts{"Внимание! В com0com отсутствует пара COM20->COM21. Прием от IP 10.0.0.5 "
                    "невозможен."});
    ASSERT_EQ(plan.storeWarnings.size(), 3u);
    EXPECT_EQ(plan.storeWarnings[0], "файл реестра перенесён");
    EXPECT_NE(plan.storeWarnings[1].find("com0com1z"), std::string::npos);
    EXPECT_NE(plan.storeWarnings[2].find("Pair9: перекодировка Conv = 9"), std::string::npos);
    EXPECT_TRUE(state.table[0].Fnd);
    EXPECT_FALSE(state.table[1].Fnd);
}

}  // namespace
}  // namespace lan2com
