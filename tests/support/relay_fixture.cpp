#include "support/relay_fixture.h"

#include <thread>

namespace lan2com::test {

const std::vector<std::uint8_t> kWorkedDatagram = {0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x01, 0x01,
                                                   0x03, 0x0A, 0x0A, 0x01, 0x0A, 0x0A, 0x05, 0x0C};

RelayFixture::RelayFixture() {
    state.table.emptyAll();
    StationLoopOptions options;
    options.clock = &clock;
    options.retryMs = 200;
    loop = std::make_unique<StationLoop>(options);
}

RelayFixture::~RelayFixture() {
    loop->shutdown();
}

PtyPeer& RelayFixture::addChannel(int slot, const std::string& addrIP, std::uint8_t mode) {
    const int number = 40 + slot;
    monitors[static_cast<std::size_t>(slot)] = std::make_unique<PtyPeer>(home.devices(), number);
    ChannelRecord& p = state.table[slot];
    p.Pair = static_cast<std::uint8_t>(slot + 1);
    p.ComIn = "COM" + std::to_string(number);
    p.ComOut = "COM" + std::to_string(number + 100);
    p.AddrIP = addrIP;
    p.Port = freeUdpPort();
    p.Cnvrt = mode;
    return *monitors[static_cast<std::size_t>(slot)];
}

ActivationPass RelayFixture::activateAll() {
    std::vector<ChannelSetup> setups;
    state.table.forEachOccupied([&](int slot, const ChannelRecord& record) {
        setups.push_back(channelSetup(slot, record, nullptr));
    });
    const ActivationPass pass = loop->activate(setups);
    display.show(loop->takeReports());
    return pass;
}

bool RelayFixture::pumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        display.show(loop->takeReports());
        if (pred()) {
            display.show(loop->takeReports());  // what came with the state that satisfied pred
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void RelayFixture::sync() {
    (void)loop->status(0);  // runs once the loop has finished what it was doing
    display.show(loop->takeReports());
}

void RelayFixture::pumpFor(int ms) {
    pumpUntil([] { return false; }, ms);
}

std::vector<std::uint8_t> RelayFixture::sendAndReadLine(UdpPeer& from, int slot,
                                                        const std::vector<std::uint8_t>& datagram) {
    from.sendTo(portOf(slot), datagram);
    std::vector<std::uint8_t> line;
    PtyPeer& monitor = *monitors[static_cast<std::size_t>(slot)];
    pumpUntil([&] {
        const auto got = monitor.read(21 - line.size(), 5);
        line.insert(line.end(), got.begin(), got.end());
        return line.size() >= 21;
    });
    sync();
    return line;
}

bool RelayFixture::replyArrives(UdpPeer& peer, std::vector<std::uint8_t>& reply,
                                std::uint16_t& fromPort, int timeoutMs) {
    bool got = false;
    pumpUntil([&] { return got = peer.receive(reply, fromPort, 5); }, timeoutMs);
    if (got) {
        sync();
    }
    return got;
}

}  // namespace lan2com::test
