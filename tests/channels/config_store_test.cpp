#include "channels/config_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "platform/tree_registry.h"

namespace lan2com {
namespace {

using Names = std::vector<std::string>;
using Values = std::vector<std::pair<std::string, std::string>>;

MemoryRegistry withDeviceMap(const Values& values) {
    MemoryRegistry r;
    r.createKey(std::string(kDeviceMapKey));
    EXPECT_TRUE(r.openKey(std::string(kDeviceMapKey)));
    for (const auto& [name, port] : values) {
        r.writeString(name, port);
    }
    r.closeKey();
    return r;
}

struct Channel {
    std::string key;
    std::int32_t pair;
    std::string comIn, comOut, addrIP;
    std::int32_t port, conv;
};

void storeByHand(MemoryRegistry& r, const std::vector<Channel>& channels,
                 const std::string& local = "192.168.1.5") {
    const std::string config(kConfigKey);
    r.createKey(config);
    ASSERT_TRUE(r.openKey(config));
    r.writeString("AddrIP", local);
    for (const Channel& c : channels) {
        r.createKey(config + "\\" + c.key);
        ASSERT_TRUE(r.openKey(config + "\\" + c.key));
        r.writeInteger("Pair", c.pair);
        r.writeString("ComIn", c.comIn);
        r.writeString("ComOut", c.comOut);
        r.writeString("AddrIP", c.addrIP);
        r.writeInteger("Port", c.port);
        r.writeInteger("Conv", c.conv);
    }
    r.closeKey();
}

std::string failureOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no failure)";
}

// ---- discovery -------------------------------------------------------------------------------

// The pairs as "channel:ComIn->ComOut", in portPairs order; checks that comboCom lists them alike.
Names pairsOf(const PairDiscovery& d, const std::array<PortPair, kSlots>& vcp) {
    Names out;
    for (int k = 0; k < d.count; ++k) {
        const PortPair& e = vcp[static_cast<std::size_t>(k)];
        out.push_back(std::to_string(e.Pair) + ":" + e.ComIn.str() + "->" + e.ComOut.str());
        EXPECT_EQ(d.comboItems.at(static_cast<std::size_t>(k)), (ComboItem{e.ComIn.str(), k}));
    }
    EXPECT_EQ(d.comboItems.size(), static_cast<std::size_t>(d.count));
    return out;
}

struct DiscoveryCase {
    const char* what;
    Values deviceMap;                 // in the registry's listing order
    Names pairs;                      // "channel:ComIn->ComOut"
    std::vector<std::string> warned;  // texts that the warnings must hold ({} = no warning)
};

TEST(DiscoverPairs, PairsHalvesByTheirNameWhereverTheyAreListed) {
    const std::vector<DiscoveryCase> cases = {
        {"the driver's own order",
         {{"\\Device\\com0com10", "COM10"},
          {"\\Device\\com0com20", "COM11"},
          {"\\Device\\Serial0", "COM1"}},
         {"1:COM10->COM11"},
         {}},
        {"an ordinary port listed between the halves is nobody's second port",
         {{"\\Device\\com0com10", "COM10"},
          {"\\Device\\Serial0", "COM1"},
          {"\\Device\\com0com20", "COM11"}},
         {"1:COM10->COM11"},
         {}},
        {"the monitoring software's half listed first",
         {{"\\Device\\com0com20", "COM11"}, {"\\Device\\com0com10", "COM10"}},
         {"1:COM10->COM11"},
         {}},
        {"a restarted port re-added at the end",
         {{"\\Device\\com0com10", "COM10"},
          {"\\Device\\com0com11", "COM12"},
          {"\\Device\\com0com21", "COM13"},
          {"\\Device\\com0com20", "COM11"}},
         {"1:COM10->COM11", "2:COM12->COM13"},
         {}},
        {"a sorted listing: all application halves, then all others",
         {{"\\Device\\com0com10", "COM10"},
          {"\\Device\\com0com11", "COM12"},
          {"\\Device\\com0com12", "COM14"},
          {"\\Device\\com0com20", "COM11"},
          {"\\Device\\com0com21", "COM13"},
          {"\\Device\\com0com22", "COM15"}},
         {"1:COM10->COM11", "2:COM12->COM13", "3:COM14->COM15"},
         {}},
        {"a half without its partner is offered to nobody",
         {{"\\Device\\com0com13", "COM20"},
          {"\\Device\\com0com10", "COM10"},
          {"\\Device\\com0com20", "COM11"},
          {"\\Device\\com0com24", "COM31"}},
         {"1:COM10->COM11"},
         {"«\\Device\\com0com13» (COM20)", "«\\Device\\com0com24» (COM31)"}},
        {"two values with one pair number: the pair is offered to nobody",
         {{"\\Device\\com0com10", "COM10"},
          {"\\Device\\com0com100", "COM30"},
          {"\\Device\\com0com20", "COM11"},
          {"\\Device\\com0com11", "COM12"},
          {"\\Device\\com0com21", "COM13"}},
         {"2:COM12->COM13"},
         {"(COM10)", "(COM30)", "(COM11)"}},
        {"another suffix keeps the consecutive rule; listed last it has no pair",
         {{"\\Device\\com0com35", "COM5"},
          {"\\Device\\Serial0", "COM1"},
          {"\\Device\\com0com36", "COM6"}},
         {"6:COM5->COM1"},
         {"«\\Device\\com0com36» (COM6)"}},
        {"another suffix does not take a half that its own pair names",
         {{"\\Device\\com0com35", "COM5"},
          {"\\Device\\com0com20", "COM11"},
          {"\\Device\\com0com10", "COM10"}},
         {"1:COM10->COM11"},
         {"«\\Device\\com0com35» (COM5)"}},
        {"the whole pair number counts; names without a usable one are skipped",
         {{"\\Device\\com0com110", "COM30"},
          {"\\Device\\com0com1", "COM40"},
          {"\\Device\\com0com210", "COM31"},
          {"\\Device\\com0com1x", "COM41"},
          {"\\Device\\com0com1999", "COM42"},
          {"\\Device\\com0com2253", "COM51"},
          {"\\Device\\com0com1254", "COM52"},
          {"\\Device\\com0com1253", "COM50"},
          {"\\Device\\com0com15", "COM60"},
          {"\\Device\\com0com25", "COM61"}},
         {"6:COM60->COM61", "11:COM30->COM31", "254:COM50->COM51"},
         {"«\\Device\\com0com1»", "com0com1x", "com0com1999", "com0com1254"}},
        {"\"com0com\" counts only at the ninth character, counted in characters",
         {{"\\Devices\\com0com10", "COM1"},
          {"com0com\\com0com20", "COM3"},
          {"\\Device\\COM0COM10", "COM5"},
          {"\\Дevice\\com0com22", "COM8"},
          {"\\Device\\x4", "COM9"},
          {"\\Дevice\\com0com12", "COM7"}},
         {"3:COM7->COM8"},
         {}},
    };
    for (const DiscoveryCase& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryRegistry r = withDeviceMap(c.deviceMap);
        std::array<PortPair, kSlots> vcp{};
        vcp[5].Pair = 9;  // left over from before: discovery starts afresh
        vcp[5].ComIn = "COM99";
        const PairDiscovery d = discoverPairs(r, vcp);
        EXPECT_FALSE(d.noPairs);
        EXPECT_EQ(pairsOf(d, vcp), c.pairs);
        for (std::size_t k = c.pairs.size(); k < kSlots; ++k) {
            EXPECT_EQ(vcp[k].Pair, 0) << k;
            EXPECT_TRUE(vcp[k].ComIn.empty()) << k;
        }
        std::string warnings;
        for (const std::string& w : d.warnings) {
            warnings += w + "\n";
        }
        EXPECT_EQ(warnings.empty(), c.warned.empty()) << warnings;
        for (const std::string& text : c.warned) {
            EXPECT_NE(warnings.find(text), std::string::npos) << text << "\n" << warnings;
        }
    }
}

TEST(DiscoverPairs, EveryListingOrderGivesTheSamePairs) {
    Values values = {{"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com11", "COM12"},
                     {"\\Device\\com0com14", "COM20"}, {"\\Device\\com0com20", "COM11"},
                     {"\\Device\\com0com21", "COM13"}, {"\\Device\\Serial0", "COM1"}};
    std::sort(values.begin(), values.end());
    int orders = 0;
    do {
        MemoryRegistry r = withDeviceMap(values);
        std::array<PortPair, kSlots> vcp{};
        const PairDiscovery d = discoverPairs(r, vcp);
        ASSERT_EQ(pairsOf(d, vcp), (Names{"1:COM10->COM11", "2:COM12->COM13"}))
            << "listing " << orders;
        ASSERT_EQ(d.warnings.size(), 1u) << "listing " << orders;
        ASSERT_NE(d.warnings[0].find("(COM20)"), std::string::npos) << d.warnings[0];
        ++orders;
    } while (std::next_permutation(values.begin(), values.end()));
    EXPECT_EQ(orders, 720);
}

TEST(DiscoverPairs, FewerThanTwoValuesMeanNoPairs) {
    std::array<PortPair, kSlots> vcp{};
    MemoryRegistry none;
    EXPECT_TRUE(discoverPairs(none, vcp).noPairs);
    MemoryRegistry empty = withDeviceMap({});
    EXPECT_TRUE(discoverPairs(empty, vcp).noPairs);
    MemoryRegistry one = withDeviceMap({{"\\Device\\com0com10", "COM10"}});
    const PairDiscovery d = discoverPairs(one, vcp);
    EXPECT_TRUE(d.noPairs);
    EXPECT_TRUE(d.comboItems.empty());
    EXPECT_EQ(vcp[0].Pair, 0);
    // Two ordinary ports are not "no pairs": start-up goes on with none discovered.
    MemoryRegistry ordinary =
        withDeviceMap({{"\\Device\\Serial0", "COM1"}, {"\\Device\\Serial1", "COM2"}});
    const PairDiscovery o = discoverPairs(ordinary, vcp);
    EXPECT_FALSE(o.noPairs);
    EXPECT_EQ(o.count, 0);
}

TEST(DiscoverPairs, CutsNamesAndIgnoresPairsBeyondSixteenWithOneWarning) {
    Values values;
    for (int p = 0; p < 18; ++p) {
        values.push_back(
            {"\\Device\\com0com1" + std::to_string(p), "COM" + std::to_string(100 + p)});
        values.push_back(
            {"\\Device\\com0com2" + std::to_string(p), "COM" + std::to_string(200 + p)});
    }
    values[0].second = "COM123456789";
    MemoryRegistry r = withDeviceMap(values);
    std::array<PortPair, kSlots> vcp{};
    const PairDiscovery d = discoverPairs(r, vcp);
    ASSERT_EQ(d.count, 16);
    EXPECT_EQ(vcp[0].ComIn, "COM1234");
    EXPECT_EQ(d.comboItems.front().text, "COM1234");
    EXPECT_EQ(vcp[15].Pair, 16);
    EXPECT_EQ(d.comboItems.back(), (ComboItem{"COM115", 15}));
    ASSERT_EQ(d.warnings.size(), 1u);
    EXPECT_NE(d.warnings[0].find("COM116->COM216, COM117->COM217"), std::string::npos)
        << d.warnings[0];
}

TEST(DiscoverPairs, ADeviceMapValueThatIsNotTextFailsDiscovery) {
    MemoryRegistry r = withDeviceMap({{"\\Device\\com0com10", "COM10"}});
    ASSERT_TRUE(r.openKey(std::string(kDeviceMapKey)));
    r.writeInteger("\\Device\\com0com20", 11);
    std::array<PortPair, kSlots> vcp{};
    EXPECT_EQ(failureOf([&] { discoverPairs(r, vcp); }),
              "Invalid data type for '\\Device\\com0com20'");
}

// ---- loading ---------------------------------------------------------------------------------

TEST(LoadChannels, LoadsInListingOrderNotByChannelNumber) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair10", 10, "COM10", "COM11", "10.0.0.10", 5010, 0},
                    {"Pair2", 2, "COM2", "COM3", "10.0.0.2", 70000, 2},
                    {"Pair7", 7, "COM7", "COM8", "<tqaWnsu", -1, 1}});
    ChannelTable table;
    const ChannelLoad load = loadChannels(r, table);
    EXPECT_TRUE(load.configurationFound);
    EXPECT_EQ(load.localAddress, "192.168.1.5");
    EXPECT_FALSE(load.receivePort);
    EXPECT_EQ(load.subkeyCount, 3);
    EXPECT_EQ(load.loaded, 3);
    EXPECT_TRUE(load.warnings.empty());
    EXPECT_EQ(table[0].Pair, 10);  // Pair10 was listed first: it takes the lower slot
    EXPECT_EQ(table[0].ComIn, "COM10");
    EXPECT_EQ(table[0].ComOut, "COM11");
    EXPECT_EQ(table[0].AddrIP, "10.0.0.10");
    EXPECT_EQ(table[0].Port, 5010u);
    EXPECT_EQ(table[0].Cnvrt, 0);
    EXPECT_FALSE(table[0].Fnd);
    EXPECT_EQ(table[1].Pair, 2);
    EXPECT_EQ(table[1].Port, 70000u);
    EXPECT_EQ(table[1].Cnvrt, 2);
    EXPECT_EQ(table[2].AddrIP, "<tqaWnsu");
    EXPECT_EQ(table[2].Port, 4294967295u);
    EXPECT_TRUE(table[3].isEmpty());
    EXPECT_EQ(table.listLength(), 3);
}

TEST(LoadChannels, WithoutTheConfigurationKeyLoadsNothing) {
    MemoryRegistry r = withDeviceMap({{"\\Device\\com0com10", "COM10"}});
    r.createKey("\\SOFTWARE\\Vesko\\Device");  // the key above it is not enough
    ChannelTable table;
    table[0].Pair = 4;  // whatever was there: start-up loads into an empty table
    const ChannelLoad load = loadChannels(r, table);
    EXPECT_FALSE(load.configurationFound);
    EXPECT_FALSE(load.localAddress);
    EXPECT_EQ(load.subkeyCount, 0);
    EXPECT_EQ(table.listLength(), 0);
}

TEST(LoadChannels, TheLocalAddressFallsBackToThePortFieldWhenItIsNotText) {
    MemoryRegistry r;
    storeByHand(r, {});
    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    r.writeInteger("AddrIP", 7);
    ChannelTable table;
    ChannelLoad load = loadChannels(r, table);
    EXPECT_TRUE(load.configurationFound);
    EXPECT_FALSE(load.localAddress);  // edtIP keeps what it holds
    EXPECT_EQ(load.receivePort, "10301");
    EXPECT_EQ(load.subkeyCount, 0);

    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    ASSERT_TRUE(r.deleteValue("AddrIP"));
    load = loadChannels(r, table);
    EXPECT_EQ(load.localAddress, "");  // a missing address reads as empty text
    EXPECT_FALSE(load.receivePort);
}

TEST(LoadChannels, CutsTextsToTheirFieldCapacities) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair1", 1, "COM1234567", "Порт-выход", "192.168.100.200:99", 1, 0}});
    ChannelTable table;
    loadChannels(r, table);
    EXPECT_EQ(table[0].ComIn, "COM1234");
    EXPECT_EQ(table[0].ComOut, "Порт-вы");
    EXPECT_EQ(table[0].AddrIP, "192.168.100.200");
}

TEST(LoadChannels, ASubkeyThatCannotBeLoadedIsSkippedWithOneWarningNamingEach) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair1", 1, "COM1", "COM2", "10.0.0.1", 5001, 0},
                    {"Pair3", 3, "COM5", "COM6", "10.0.0.3", 5003, 3},
                    {"Pair4", 4, "COM7", "COM8", "10.0.0.4", 5004, 1},
                    {"Pair5", 255, "COM9", "COM10", "10.0.0.5", 5005, 1},
                    {"Pair6", 0, "COM11", "COM12", "10.0.0.6", 5006, 1},
                    {"Broken", 8, "COM13", "COM14", "10.0.0.8", 5008, 1},
                    {"Pair9", 9, "COM15", "COM16", "10.0.0.9", 5009, 2}});
    const std::string config(kConfigKey);
    ASSERT_TRUE(r.openKey(config + "\\Pair4"));
    ASSERT_TRUE(r.deleteValue("Port"));
    ASSERT_TRUE(r.openKey(config + "\\Broken"));
    r.writeString("Conv", "1");
    r.writeInteger("ComIn", 13);
    ASSERT_TRUE(r.deleteValue("Pair"));
    r.createKey(config + "\\Empty");

    ChannelTable table;
    const ChannelLoad load = loadChannels(r, table);
    EXPECT_EQ(load.subkeyCount, 8);
    ASSERT_EQ(load.loaded, 2);
    EXPECT_EQ(table[0].Pair, 1);
    EXPECT_EQ(table[1].Pair, 9);  // the good ones fill consecutive slots
    EXPECT_EQ(table[1].ComIn, "COM15");
    EXPECT_TRUE(table[2].isEmpty());
    ASSERT_EQ(load.warnings.size(), 1u);
    const std::string& w = load.warnings[0];
    for (const char* expected : {
             "Pair3: перекодировка Conv = 3 вне диапазона 0..2",
             "Pair4: нет значения Port",
             "Pair5: номер канала Pair = 255 вне диапазона 1..254",
             "Pair6: номер канала Pair = 0 вне диапазона 1..254",
             "Broken: нет значения Pair; значение ComIn не текст; значение Conv не целое число",
             "Empty: нет значения Pair; нет значения Port; нет значения Conv",
         }) {
        EXPECT_NE(w.find(expected), std::string::npos) << expected << "\n" << w;
    }
    EXPECT_EQ(w.find("Pair1:"), std::string::npos);
    EXPECT_EQ(w.find("Pair9"), std::string::npos);
}

TEST(LoadChannels, SubkeysBeyondSixteenAreIgnoredWithOneWarning) {
    MemoryRegistry r;
    std::vector<Channel> channels;
    for (int c = 1; c <= 18; ++c) {
        const std::string n = std::to_string(c);
        channels.push_back({"Pair" + n, c, "COM" + n, "COM" + std::to_string(c + 100),
                            "10.0.0." + n, 5000 + c, 0});
    }
    storeByHand(r, channels);
    ChannelTable table;
    const ChannelLoad load = loadChannels(r, table);
    EXPECT_EQ(load.subkeyCount, 18);
    EXPECT_EQ(load.loaded, 16);
    EXPECT_TRUE(table.isFull());
    EXPECT_EQ(table[15].Pair, 16);
    ASSERT_EQ(load.warnings.size(), 1u);
    EXPECT_NE(load.warnings[0].find("Pair17, Pair18"), std::string::npos) << load.warnings[0];
}

// ---- storing ---------------------------------------------------------------------------------

ChannelTable threeChannels() {
    ChannelTable t;
    t.emptyAll();
    t[0].Pair = 3;
    t[0].ComIn = "COM5";
    t[0].ComOut = "COM6";
    t[0].AddrIP = "192.168.0.33";
    t[0].Port = 70000;
    t[0].Cnvrt = 1;
    t[1].Pair = 1;
    t[1].ComIn = "COM1";
    t[1].ComOut = "COM2";
    t[1].AddrIP = "<tqaWnsu";
    t[1].Port = 4294967295u;
    t[1].Cnvrt = 2;
    t[2].Pair = 12;
    t[2].ComIn = "COM20";
    t[2].ComOut = "COM21";
    t[2].AddrIP = "10.1.1.1";
    t[2].Port = 10301;
    t[2].Cnvrt = 0;
    return t;
}

TEST(StoreChannels, WritesTheLayoutThatLoadReadsBack) {
    MemoryRegistry r =
        withDeviceMap({{"\\Device\\com0com10", "COM10"}, {"\\Device\\com0com20", "COM11"}});
    const RegKey deviceMapBefore = *r.tree().find({"HARDWARE", "DEVICEMAP", "SERIALCOMM"});
    const ChannelTable table = threeChannels();
    storeChannels(r, table, "192.168.0.1", true);

    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    EXPECT_EQ(r.readString("AddrIP"), "192.168.0.1");
    EXPECT_EQ(r.keyNames(), (Names{"Pair3", "Pair1", "Pair12"}));  // slot order
    ASSERT_TRUE(r.openKey(std::string(kConfigKey) + "\\Pair3"));
    EXPECT_EQ(r.valueNames(), (Names{"Pair", "AddrIP", "ComIn", "ComOut", "Port", "Conv"}));
    EXPECT_EQ(r.readInteger("Port"), 70000);
    EXPECT_EQ(r.readInteger("Conv"), 1);
    // Nothing of it under the device map, which stays as it was.
    const RegKey* deviceMap = r.tree().find({"HARDWARE", "DEVICEMAP", "SERIALCOMM"});
    ASSERT_NE(deviceMap, nullptr);
    EXPECT_TRUE(deviceMap->subkeys.empty());
    EXPECT_EQ(deviceMap->values.size(), deviceMapBefore.values.size());

    ChannelTable back;
    const ChannelLoad load = loadChannels(r, back);
    EXPECT_EQ(load.localAddress, "192.168.0.1");
    ASSERT_EQ(load.loaded, 3);
    for (int s = 0; s < 3; ++s) {
        EXPECT_EQ(back[s].Pair, table[s].Pair);
        EXPECT_EQ(back[s].ComIn, table[s].ComIn);
        EXPECT_EQ(back[s].ComOut, table[s].ComOut);
        EXPECT_EQ(back[s].AddrIP, table[s].AddrIP);
        EXPECT_EQ(back[s].Port, table[s].Port);
        EXPECT_EQ(back[s].Cnvrt, table[s].Cnvrt);
    }
}

TEST(StoreChannels, ReplacesEverythingUnderTheVendorKey) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair9", 9, "COM9", "COM10", "1.2.3.4", 9, 0}});
    r.createKey("\\SOFTWARE\\Vesko\\Other\\Deep");
    r.createKey("\\SOFTWARE\\Neighbour");
    ChannelTable table = threeChannels();
    table.removeSlot(2);
    table.removeSlot(1);
    storeChannels(r, table, "", true);
    ASSERT_TRUE(r.openKey("\\SOFTWARE\\Vesko"));
    EXPECT_EQ(r.keyNames(), Names{"Device"});
    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    EXPECT_EQ(r.keyNames(), Names{"Pair3"});
    EXPECT_TRUE(r.openKey("\\SOFTWARE\\Neighbour"));
}

TEST(StoreChannels, KeepsTheJournalRetentionSetUnderTheConfigurationKey) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair9", 9, "COM9", "COM10", "1.2.3.4", 9, 0}});
    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    r.writeInteger(kJournalDaysValue, 30);
    storeChannels(r, threeChannels(), "192.168.0.1", true);
    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    EXPECT_EQ(r.readInteger(kJournalDaysValue), 30);
    EXPECT_EQ(r.keyNames(), (Names{"Pair3", "Pair1", "Pair12"}));
}

TEST(StoreChannels, AnEmptyListLeavesNoConfigurationAtAll) {
    MemoryRegistry r;
    storeByHand(r, {{"Pair9", 9, "COM9", "COM10", "1.2.3.4", 9, 0}});
    storeChannels(r, threeChannels(), "192.168.0.1", false);
    EXPECT_FALSE(r.openKey("\\SOFTWARE\\Vesko"));
    ChannelTable back;
    EXPECT_FALSE(loadChannels(r, back).configurationFound);
    // and with nothing stored before, it is no failure either
    EXPECT_EQ(failureOf([&] { storeChannels(r, ChannelTable{}, "", false); }), "(no failure)");
}

TEST(StoreChannels, TwoSlotsWithTheSameChannelNumberShareOneSubkey) {
    ChannelTable table = threeChannels();
    table[2].Pair = 3;  // like slot 0
    MemoryRegistry r;
    storeChannels(r, table, "x", true);
    ASSERT_TRUE(r.openKey(std::string(kConfigKey)));
    EXPECT_EQ(r.keyNames(), (Names{"Pair3", "Pair1"}));
    ChannelTable back;
    const ChannelLoad load = loadChannels(r, back);
    ASSERT_EQ(load.loaded, 2);
    EXPECT_EQ(back[0].ComIn, "COM20");  // the later slot's values remain
    EXPECT_EQ(back[0].Port, 10301u);
}

// A registry that fails the n-th integer write, like a registry that refuses a value.
class FailingRegistry : public MemoryRegistry {
  public:
    int failAt = 0;
    void writeInteger(const std::string& name, std::int32_t value) override {
        if (--failAt == 0) {
            throw RegistryError("Failed to set data for '" + name + "'");
        }
        MemoryRegistry::writeInteger(name, value);
    }
};

TEST(StoreChannels, AFailureReachesTheCallerAndLeavesTheOldConfigurationInPlace) {
    FailingRegistry r;
    storeByHand(r, {{"Pair9", 9, "COM9", "COM10", "1.2.3.4", 9, 0}});
    const RegistryTree before = r.tree();
    r.failAt = 5;  // the Port of the second channel
    EXPECT_EQ(failureOf([&] { storeChannels(r, threeChannels(), "192.168.0.1", true); }),
              "Failed to set data for 'Port'");
    EXPECT_TRUE(r.tree() == before);

    r.setReadOnly(true);
    EXPECT_EQ(failureOf([&] { storeChannels(r, threeChannels(), "192.168.0.1", true); }),
              "Failed to create key \\SOFTWARE\\Vesko\\Device\\ComIP");
    EXPECT_TRUE(r.tree() == before);
}

}  // namespace
}  // namespace lan2com
