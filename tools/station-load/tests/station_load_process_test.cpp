#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "channels/channel_table.h"
#include "channels/config_store.h"
#include "load.h"
#include "platform/registry_file.h"
#include "relay/conversion.h"
#include "station.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace stationload {
namespace {

using namespace std::chrono_literals;
using lan2com::test::PtyPeer;
using lan2com::test::TempDir;
using lan2com::test::UdpPeer;
using Bytes = std::vector<std::uint8_t>;

Bytes lineBytes(std::uint64_t number, int channel) {
    const auto datagram = eventDatagram(number);
    const std::string line =
        lan2com::CId2SG(lan2com::Data2CId(datagram.data(), datagram.size()), channel, 2);
    return Bytes(line.begin(), line.end());
}

bool endsWithin(ChildProcess& child, std::chrono::milliseconds time) {
    const auto deadline = Clock::now() + time;
    while (child.running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return !child.running();
}

TEST(StationLoadChild, TellsACrashAndAnUnorderedEndFromAnOrderlyOne) {
    TempDir dir;
    const std::string log = (dir.path() / "child.log").string();

    ChildProcess crash({"/bin/sh", "-c", "echo one; echo two; echo three; kill -SEGV $$"}, {}, log);
    ASSERT_TRUE(endsWithin(crash, 5s));
    EXPECT_EQ(crash.exitText().rfind("killed by signal 11", 0), 0u) << crash.exitText();
    EXPECT_EQ(crash.logTail(2), "two\nthree\n");

    ChildProcess stubborn({"/bin/sh", "-c", "trap '' TERM; exec sleep 30"}, {}, log);
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(stubborn.terminate(300ms));
    EXPECT_EQ(stubborn.exitText().rfind("killed by signal 9", 0), 0u) << stubborn.exitText();

    ChildProcess orderly({"/bin/sh", "-c", "trap 'exit 0' TERM; while :; do sleep 0.01; done"},
                         {"STATION_LOAD_TEST=x"}, log);
    std::this_thread::sleep_for(100ms);
    EXPECT_TRUE(orderly.terminate(5s));
    EXPECT_EQ(orderly.exitText(), "exit status 0");
}

// Sixteen channels are many pairs for a unit test; three show the order and the clean-up.
TEST(StationLoadHome, StoresTheChannelsAsTheProgramLoadsThemAndLeavesNothingBehind) {
    std::string root;
    std::vector<pid_t> socats;
    {
        const StationHome home(3, LAN2COM_BUILD_DIR);
        root = home.root();
        lan2com::FileRegistry registry(root + "/lan2com/registry.reg");
        std::array<lan2com::PortPair, lan2com::kSlots> pairs{};
        const lan2com::PairDiscovery discovery = lan2com::discoverPairs(registry, pairs);
        EXPECT_TRUE(discovery.warnings.empty());
        lan2com::ChannelTable table;
        const lan2com::ChannelLoad load = lan2com::loadChannels(registry, table);
        EXPECT_TRUE(load.warnings.empty());
        ASSERT_EQ(discovery.count, 3);
        ASSERT_EQ(load.loaded, 3);
        for (const ChannelSetup& c : home.channels()) {
            const int slot = c.channel - 1;  // the slot whose lines carry the channel's number
            const std::string comIn = "COM" + std::to_string(c.comIn);
            const std::string comOut = "COM" + std::to_string(c.comOut);
            EXPECT_EQ(table[slot].Pair, c.channel);
            EXPECT_EQ(table[slot].Port, c.udpPort);
            EXPECT_EQ(table[slot].ComIn.str(), comIn);
            EXPECT_EQ(table[slot].ComOut.str(), comOut);
            EXPECT_EQ(table[slot].AddrIP.str(), "127.0.0.1");
            EXPECT_EQ(table[slot].Cnvrt, 2);  // every digit passes unchanged
            EXPECT_EQ(pairs[std::size_t(slot)].ComIn.str(), comIn);
            EXPECT_EQ(pairs[std::size_t(slot)].ComOut.str(), comOut);
            EXPECT_TRUE(std::filesystem::exists(c.comInPath));  // the link leads to a terminal
            EXPECT_TRUE(std::filesystem::exists(c.comOutPath));
            std::ifstream record(root + "/lan2com/vcom-pair/pair" + std::to_string(slot));
            std::string pid;
            std::getline(record, pid);
            ASSERT_EQ(pid.rfind("pid=", 0), 0u);
            socats.push_back(std::stoi(pid.substr(4)));
        }
    }
    EXPECT_FALSE(std::filesystem::exists(root));
    for (const pid_t socat : socats) {  // gone, or ended and not yet reaped by its parent
        std::ifstream stat("/proc/" + std::to_string(socat) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t paren = line.rfind(')');
        const char state = paren == std::string::npos ? 'X' : line.at(paren + 2);
        EXPECT_TRUE(state == 'Z' || state == 'X') << "socat " << socat << ": " << line;
    }
}

// The outside of one channel: the monitor on a pseudo-terminal whose other side plays the relay's
// port, and the transceiver towards a socket that plays the relay's endpoint.
class StationLoadLoadTest : public ::testing::Test {
  protected:
    StationLoadLoadTest() : port(dir.path(), 12), relay("127.0.0.1") {
        ChannelSetup c;
        c.channel = 4;
        c.udpPort = relay.port();
        c.comOutPath = port.slavePath();
        load = std::make_unique<Load>(std::vector<ChannelSetup>{c});
    }

    void pollUntil(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + 3s;
        while (!done() && Clock::now() < deadline) {
            load->poll(std::min(deadline, Clock::now() + 50ms), handlers);
        }
    }

    TempDir dir;
    PtyPeer port;
    UdpPeer relay;
    std::unique_ptr<Load> load;
    Load::Handlers handlers;
};

TEST_F(StationLoadLoadTest, TheMonitorAcknowledgesEveryLineOnceAndHandsItOn) {
    std::vector<alarmsim::ReceiverLine> lines;
    handlers.onLine = [&](std::size_t index, const alarmsim::ReceiverLine& line,
                          Clock::time_point) {
        EXPECT_EQ(index, 0u);
        lines.push_back(line);
    };
    // Two lines and a heartbeat in one write: three acknowledgements.
    Bytes written = lineBytes(1, 4);
    const Bytes second = lineBytes(2, 4);
    written.insert(written.end(), second.begin(), second.end());
    const std::string heartbeat = "1011           @    \x14";
    written.insert(written.end(), heartbeat.begin(), heartbeat.end());
    port.write(written);
    pollUntil([&] { return lines.size() == 3; });
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(numberOf(lines[0]), 1u);
    EXPECT_EQ(numberOf(lines[1]), 2u);
    EXPECT_EQ(lines[2].kind, alarmsim::ReceiverLine::Kind::Heartbeat);
    EXPECT_EQ(port.read(4, 300), Bytes(3, 0x06));

    // A line that comes in pieces is acknowledged once, when it is whole.
    const Bytes third = lineBytes(3, 4);
    port.write(Bytes(third.begin(), third.begin() + 10));
    load->drain(100ms);
    EXPECT_EQ(lines.size(), 3u);
    port.write(Bytes(third.begin() + 10, third.end()));
    pollUntil([&] { return lines.size() == 4; });
    EXPECT_EQ(port.read(2, 300), Bytes(1, 0x06));
}

TEST_F(StationLoadLoadTest, OnlyTheRelaysOwnPortAnswersTheTransceiver) {
    const auto datagram = eventDatagram(7);
    load->send(0, datagram.data(), datagram.size());
    Bytes got;
    std::uint16_t transceiver = 0;
    ASSERT_TRUE(relay.receive(got, transceiver, 2000));
    EXPECT_EQ(got, Bytes(datagram.begin(), datagram.end()));

    std::vector<bool> fromRelay;
    handlers.onReply = [&](std::size_t, const Bytes& reply, bool relayPort, Clock::time_point) {
        EXPECT_EQ(reply, Bytes({'O', 'K'}));
        fromRelay.push_back(relayPort);
    };
    UdpPeer stranger("127.0.0.1");
    stranger.sendTo(transceiver, {'O', 'K'});
    pollUntil([&] { return fromRelay.size() == 1; });
    relay.sendTo(transceiver, {'O', 'K'});
    pollUntil([&] { return fromRelay.size() == 2; });
    EXPECT_EQ(fromRelay, std::vector<bool>({false, true}));
}

// The floor relay of the benchmark does the relay's work: the same line, "OK" only on 0x06.
TEST(StationLoadFloor, WritesTheLineAndAnswersOnlyAnAcknowledgement) {
    TempDir dir;
    PtyPeer port(dir.path(), 12);
    const std::uint16_t udpPort = lan2com::test::freeUdpPort();
    ChildProcess floor({std::string(LAN2COM_BUILD_DIR) + "/station-load", "floor-relay",
                        "3:" + std::to_string(udpPort) + ":" + port.slavePath()},
                       {}, (dir.path() / "floor.log").string());
    UdpPeer transceiver("127.0.0.1");
    const auto datagram = eventDatagram(0x123456789);
    const Bytes event(datagram.begin(), datagram.end());
    Bytes line;
    for (int attempt = 0; attempt < 10 && line.empty(); ++attempt) {  // until it listens
        transceiver.sendTo(udpPort, event);
        line = port.read(21, 500);
    }
    ASSERT_EQ(line, lineBytes(0x123456789, 3)) << floor.logTail(5);

    Bytes reply;
    std::uint16_t from = 0;
    EXPECT_FALSE(transceiver.receive(reply, from, 150));
    port.write(0x15);
    EXPECT_FALSE(transceiver.receive(reply, from, 150));
    port.write(0x06);
    ASSERT_TRUE(transceiver.receive(reply, from, 2000));
    EXPECT_EQ(reply, Bytes({'O', 'K'}));
    EXPECT_EQ(from, udpPort);
    port.write(0x06);  // nothing waits for it
    EXPECT_FALSE(transceiver.receive(reply, from, 150));

    transceiver.sendTo(udpPort, Bytes(15, 0x01));  // not an event
    EXPECT_TRUE(port.read(1, 150).empty());
    EXPECT_TRUE(floor.terminate(5s)) << floor.exitText();
}

}  // namespace
}  // namespace stationload
