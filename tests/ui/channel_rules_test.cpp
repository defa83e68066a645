#include "ui/channel_rules.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/convert.h"

namespace lan2com {
namespace {

namespace text = editor_text;

std::string com(int n) {
    return "COM" + std::to_string(n);
}

// Eight discovered pairs COM10/COM11 … COM24/COM25: pair p is COM(10+2p)/COM(11+2p), number p+1.
std::array<PortPair, kSlots> eightPairs() {
    std::array<PortPair, kSlots> pairs{};
    for (int p = 0; p < 8; ++p) {
        pairs[static_cast<std::size_t>(p)] = {static_cast<std::uint8_t>(p + 1),
                                              ShortText<7>(com(10 + 2 * p)),
                                              ShortText<7>(com(11 + 2 * p))};
    }
    return pairs;
}

ChannelTable emptyTable() {
    ChannelTable table;
    table.emptyAll();
    return table;
}

// A channel of pair p in the next empty slot.
void store(ChannelTable& table, int p, std::uint32_t port, int cnvrt = 0) {
    ChannelRecord& r = table[table.firstEmpty()];
    r.Pair = static_cast<std::uint8_t>(p + 1);
    r.ComIn = com(10 + 2 * p);
    r.ComOut = com(11 + 2 * p);
    r.AddrIP = "10.0.0." + std::to_string(p);
    r.Port = port;
    r.Cnvrt = static_cast<std::uint8_t>(cnvrt);
}

std::string slotText(const ChannelTable& table, int s) {
    const ChannelRecord& r = table[s];
    return r.isEmpty()
               ? "-"
               : std::to_string(r.Pair) + " " + r.ComIn.str() + "/" + r.ComOut.str() + " " +
                     r.AddrIP.str() + ":" + std::to_string(r.Port) + " " + std::to_string(r.Cnvrt);
}

// The operator chose item `item` of the port list (its pair's ports shown), or typed a name over
// it (the monitoring-side port then stays as the choice left it).
ChannelRequest request(const char* address, int item, const char* port,
                       const char* typedCom = nullptr, int conversion = 0) {
    ChannelRequest r;
    r.transceiverAddress = address;
    if (item >= 0) {
        r.comIn = com(10 + 2 * item);
        r.comOut = com(11 + 2 * item);
    }
    if (typedCom != nullptr) {
        r.comIn = typedCom;
    } else if (item >= 0) {
        r.chosenPair = item;
    }
    r.receivePort = port;
    r.conversion = conversion;
    return r;
}

TEST(ChannelRules, RefusalsNameTheirReasonAndLeaveTheTableAsItWas) {
    const auto pairs = eightPairs();
    ChannelTable one = emptyTable();
    store(one, 0, 65536u + 9000u);  // as stored by hand: binds port 9000, its low 16 bits
    ChannelTable full = one;
    while (!full.isFull()) {
        store(full, 7, 100u + static_cast<std::uint32_t>(full.listLength()));
        full[full.listLength() - 1].ComIn = com(90 + full.listLength());
        full[full.listLength() - 1].ComOut = com(70 + full.listLength());
    }
    ChannelRequest shownChannelKept = request("1.1.1.1", -1, "9001", "COM14");
    shownChannelKept.comOut = "COM11";  // the label still shows the selected channel's port
    ChannelRequest noComIn = request("1.1.1.1", -1, "9001");

    struct Case {
        const char* what;
        const ChannelTable& table;
        ChannelRequest request;
        const char* refusal;
        bool addressField;
    };
    const Case cases[] = {
        {"no address", one, request("", 1, "9001"), text::kFillIn, false},
        {"no COM port", one, noComIn, text::kFillIn, false},
        {"no receive port", one, request("1.1.1.1", 1, ""), text::kFillIn, false},
        {"bad address", one, request("1.2.3", 1, "9001"), text::kBadAddress, true},
        {"COM port in use", one, request("1.1.1.1", 0, "9001"), text::kComPortInUse, false},
        {"monitoring port in use", one, shownChannelKept, text::kComPortInUse, false},
        // A port name in use in slot 0 is refused before the port text is read as a number.
        {"name before number", one, request("1.1.1.1", 0, "x"), text::kComPortInUse, false},
        {"the port it binds", one, request("1.1.1.1", 1, "09000"), text::kReceivePortInUse, false},
        {"an empty slot's port", one, request("1.1.1.1", 1, "0"), text::kReceivePortInUse, false},
        {"port out of range", one, request("1.1.1.1", 1, "65546"), text::kFillIn, false},
        {"unknown COM port", one, request("1.1.1.1", 1, "9001", "COM99"), text::kUnknownComPort,
         false},
        {"full table", full, request("1.1.1.1", 1, "9001"), text::kTableFull, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ChannelTable before = c.table;
        const auto answer = addChannel(c.table, pairs, c.request);
        const Refusal* refusal = std::get_if<Refusal>(&answer);
        ASSERT_NE(refusal, nullptr);
        EXPECT_STREQ(refusal->text, c.refusal);
        EXPECT_EQ(refusal->addressField, c.addressField);
        for (int s = 0; s < kSlots; ++s) {
            EXPECT_EQ(slotText(c.table, s), slotText(before, s));
        }
    }
}

TEST(ChannelRules, FailuresOfTheFieldsAreRaised) {
    const auto pairs = eightPairs();
    const ChannelTable table = emptyTable();
    try {
        addChannel(table, pairs, request("10.0.0.1", 1, "100.5"));
        FAIL() << "no ConvertError";
    } catch (const ConvertError& e) {
        EXPECT_STREQ(e.what(), "'100.5' is not a valid integer value");
    }
    EXPECT_THROW(addChannel(table, pairs, request("10.0.0.1", 1, "9001", nullptr, -1)),
                 std::out_of_range);
}

TEST(ChannelRules, CreationFillsTheFirstEmptySlotFromThePairItNames) {
    const auto pairs = eightPairs();
    struct Case {
        ChannelRequest request;
        const char* slot;
        const char* nodes;  // header, address, ComIn, ComOut, port, mode
    };
    ChannelRequest typed = request("<tqaWnsu", 0, "09002", "COM14", 1);  // a discovered name
    const Case cases[] = {
        {request("10.0.0.1", 1, "9001", nullptr, 1), "2 COM12/COM13 10.0.0.1:9001 1",
         "Канал №2|10.0.0.1|COM12|COM13|9001|0->A"},
        {typed, "3 COM14/COM15 <tqaWnsu:9002 1", "Канал №3|<tqaWnsu|COM14|COM15|9002|0->A"},
        {request("10.0.0.3", 7, "65535", nullptr, 2), "8 COM24/COM25 10.0.0.3:65535 2",
         "Канал №8|10.0.0.3|COM24|COM25|65535|нет"},
    };
    ChannelTable table = emptyTable();
    for (int i = 0; i < static_cast<int>(std::size(cases)); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.slot);
        const ChannelTable before = table;
        const auto answer = addChannel(table, pairs, c.request);
        const Creation* created = std::get_if<Creation>(&answer);
        ASSERT_NE(created, nullptr);
        EXPECT_EQ(created->slot, i);
        EXPECT_EQ(slotText(created->table, i), c.slot);
        EXPECT_FALSE(created->table[i].Fnd);
        EXPECT_EQ(slotText(created->table, i + 1), "-");
        std::string nodes;
        for (const std::string& node : created->nodes) {
            nodes += (nodes.empty() ? "" : "|") + node;
        }
        EXPECT_EQ(nodes, c.nodes);
        EXPECT_EQ(slotText(table, i), slotText(before, i));  // the table passed in stays
        table = created->table;
    }
}

TEST(ChannelRules, RemovalMovesLaterChannelsDownWithTheirModes) {
    ChannelTable table = emptyTable();
    for (int p = 0; p < 7; ++p) {
        store(table, p, 9000u + static_cast<std::uint32_t>(p), p % 3);
    }
    const std::optional<ChannelTable> after = removeChannel(table, 5);
    ASSERT_TRUE(after);
    EXPECT_EQ(slotText(*after, 4), "5 COM18/COM19 10.0.0.4:9004 1");
    EXPECT_EQ(slotText(*after, 5), "7 COM22/COM23 10.0.0.6:9006 0");
    EXPECT_EQ(slotText(*after, 6), "-");
    EXPECT_EQ((*after)[6].Port, 0u);
    EXPECT_EQ(slotText(table, 5), "6 COM20/COM21 10.0.0.5:9005 2");  // the table passed in stays
    for (const int slot : {7, 15, -1, 16}) {
        EXPECT_FALSE(removeChannel(table, slot)) << slot;
    }
}

}  // namespace
}  // namespace lan2com
