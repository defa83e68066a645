#include "support/relay_fixture.h"

#include <thread>

namespace lan2com::test {

const std::vector<std::uint8_t> kWorkedDatagram = {0x01, 0x02, 0x03, 0x04, 0x07, 0x08, 0x01, 0x01,
                                                   0x03, 0x0A, 0x0A, 0x01, 0x0A, 0x0A, 0x05, 0x0C};

RelayFixture::RelayFixture() {
    state.table.emptyAll();
    // What escapes a handler is what the window's error report would show.
    handover.setUncaughtHandler([this](const std::string& message) { errors.report(message); });
    RuntimeServices services{state, handover, errors, systemMsClock(), nullptr, view, {}, {}, 5000};
    for (int s = 0; s < kSlots; ++s) {
        services.heartbeat[static_cast<std::size_t>(s)] = &timers[static_cast<std::size_t>(s)];
    }
    services.makeTimer = [this](int) {
        auto timer = std::make_unique<ManualTimer>();
        reopenTimers.push_back(timer.get());
        return std::unique_ptr<HeartbeatTimer>(std::move(timer));
    };
    runtime = std::make_unique<ChannelRuntime>(services);
    relay = std::make_unique<Relay>(state, view, *runtime);
    runtime->setEvents(relay.get());
}

RelayFixture::~RelayFixture() {
    runtime->setEvents(nullptr);
    runtime->StopAll();
    runtime.reset();
}

PtyPeer& RelayFixture::addChannel(int slot, const std::string& addrIP, std::uint8_t mode) {
    const int number = 40 + slot;
    monitors[static_cast<std::size_t>(slot)] = std::make_unique<PtyPeer>(home.devices(), number);
    TPair& p = state.table[slot];
    p.Pair = static_cast<std::uint8_t>(slot + 1);
    p.ComIn = "COM" + std::to_string(number);
    p.ComOut = "COM" + std::to_string(number + 100);
    p.AddrIP = addrIP;
    p.Port = freeUdpPort();
    p.Cnvrt = mode;
    return *monitors[static_cast<std::size_t>(slot)];
}

bool RelayFixture::pumpUntil(const std::function<bool()>& pred, int timeoutMs) {
    return handover.pumpUntil(pred, std::chrono::milliseconds(timeoutMs));
}

void RelayFixture::pumpFor(int ms) {
    handover.pumpFor(std::chrono::milliseconds(ms));
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
    return line;
}

bool RelayFixture::replyArrives(UdpPeer& peer, std::vector<std::uint8_t>& reply,
                                std::uint16_t& fromPort, int timeoutMs) {
    bool got = false;
    pumpUntil([&] { return got = peer.receive(reply, fromPort, 5); }, timeoutMs);
    return got;
}

}  // namespace lan2com::test
