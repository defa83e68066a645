#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "support/relay_fixture.h"

namespace lan2com::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kOK = {'O', 'K'};

Bytes lineOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
Bytes heartbeatLine() {
    return Bytes(kHeartbeatLine.begin(), kHeartbeatLine.end());
}

class StationLoopTest : public RelayFixture {
  protected:
    void activate() {
        const auto pass = activateAll();
        ASSERT_TRUE(pass.bindFailed.empty());
        ASSERT_TRUE(pass.failures.empty()) << pass.failures.front();
    }
    // No reply within the time, main-thread events running meanwhile.
    bool silentFor(UdpPeer& peer, int ms) {
        Bytes reply;
        std::uint16_t from = 0;
        return !replyArrives(peer, reply, from, ms);
    }
};

TEST_F(StationLoopTest, AnAcknowledgedEventIsWrittenOnItsChannelAndAnsweredOnceFromTheChannelPort) {
    PtyPeer& monitor = addChannel(2, "127.0.0.2", 0);  // channel 3, "A->0"
    activate();
    EXPECT_TRUE(view.visible(2));
    UdpPeer transceiver("127.0.0.2");

    const Bytes line = sendAndReadLine(transceiver, 2, kWorkedDatagram);
    EXPECT_EQ(line, lineOf(std::string("50") + "31 18" + "1234E13001005\x14"));
    EXPECT_EQ(view.color(2), LampColor::Teal);
    EXPECT_TRUE(status(2).waiting);
    EXPECT_TRUE(silentFor(transceiver, 100));  // nothing before the acknowledgement

    monitor.write(0x06);
    Bytes reply;
    std::uint16_t from = 0;
    ASSERT_TRUE(replyArrives(transceiver, reply, from, 2000));
    EXPECT_EQ(reply, kOK);
    EXPECT_EQ(from, portOf(2));
    EXPECT_EQ(view.color(2), LampColor::Lime);
    EXPECT_FALSE(status(2).waiting);
    EXPECT_TRUE(silentFor(transceiver, 500));  // exactly one reply, and no timeout after it
    EXPECT_FALSE(status(2).timedOut);
}

TEST_F(StationLoopTest, ConversionModesShapeTheLine) {
    addChannel(0, "127.0.0.2", 1);  // "0->A"
    addChannel(1, "127.0.0.2", 2);  // "нет"
    activate();
    UdpPeer transceiver("127.0.0.2");
    const Bytes zeros = {0, 0, 0, 1, 3, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(sendAndReadLine(transceiver, 0, zeros), lineOf("5011 18AAA1RAAAAAAAA\x14"));
    EXPECT_EQ(sendAndReadLine(transceiver, 1, zeros), lineOf("5021 180001R00000000\x14"));
}

TEST_F(StationLoopTest, WithoutAcknowledgementTheLampTurnsRedAndALateAckAnswersNothing) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    UdpPeer transceiver("127.0.0.2");
    const auto sent = Clock::now();
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    ASSERT_TRUE(pumpUntil([&] { return status(0).timedOut; }, 3000));
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    EXPECT_GE(waited.count(), 270);
    EXPECT_EQ(view.color(0), LampColor::Red);
    EXPECT_TRUE(silentFor(transceiver, 200));

    monitor.write(0x06);
    ASSERT_TRUE(pumpUntil([&] { return view.color(0) == LampColor::Lime; }));
    EXPECT_FALSE(status(0).timedOut);
    EXPECT_TRUE(silentFor(transceiver, 300));
}

TEST_F(StationLoopTest, EveryByteArrivingTogetherIsReadAtOnce) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    UdpPeer transceiver("127.0.0.2");
    // Noise with stray 0x06 while nothing waits is read at once and answers no later line...
    monitor.write(Bytes{0x41, 0x15, 0x06, 0x00, 0x06, 0x15});
    pumpFor(200);
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    EXPECT_TRUE(silentFor(transceiver, 450));
    EXPECT_TRUE(status(0).timedOut);
    // ...and a refusal followed by the acknowledgement in one piece: the 0x06 answers.
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    monitor.write(Bytes{0x15, 0x06});
    Bytes reply;
    std::uint16_t from = 0;
    ASSERT_TRUE(replyArrives(transceiver, reply, from, 2000));
    EXPECT_EQ(reply, kOK);
    EXPECT_TRUE(silentFor(transceiver, 400));
}

TEST_F(StationLoopTest, ServicePacketsWriteTheHeartbeatLineAndAreNeverAnsweredOrLogged) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    view.diag = true;
    UdpPeer transceiver("127.0.0.2");
    const auto activated = Clock::now();
    for (std::size_t length : {6u, 11u, 14u}) {
        EXPECT_EQ(sendAndReadLine(transceiver, 0, Bytes(length, 0x31)), heartbeatLine()) << length;
        EXPECT_EQ(view.color(0), LampColor::Yellow);
        monitor.write(0x06);
        ASSERT_TRUE(pumpUntil([&] { return !status(0).waiting; }));
        EXPECT_EQ(view.color(0), LampColor::Lime);
        EXPECT_TRUE(silentFor(transceiver, 150));
    }
    // The heartbeat period was left running: it ends as counted from the activation.
    const auto since =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - activated);
    ASSERT_GT(since.count(), 400);
    jump(kHeartbeatPeriodMs - static_cast<std::uint32_t>(since.count()) + 200);
    EXPECT_EQ(monitor.read(21, 2000), heartbeatLine());
    EXPECT_TRUE(view.log.empty() || view.log.back().find("Открыт порт") != std::string::npos);
}

TEST_F(StationLoopTest, ForeignSourcesAndMalformedDatagramsLeaveNoTrace) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    view.diag = true;
    const std::size_t logBefore = view.log.size();
    UdpPeer stranger("127.0.0.3");
    UdpPeer transceiver("127.0.0.2");
    stranger.sendTo(portOf(0), kWorkedDatagram);
    Bytes shifted = kWorkedDatagram;
    shifted[9] = 0x1A;  // a byte above 15 would shift every later digit
    transceiver.sendTo(portOf(0), shifted);
    for (std::size_t length : {0u, 1u, 5u, 7u, 10u, 12u, 13u, 15u, 17u, 64u}) {
        transceiver.sendTo(portOf(0), Bytes(length, 0x01));
    }
    pumpFor(400);
    EXPECT_TRUE(monitor.readFor(50).empty());
    EXPECT_TRUE(silentFor(stranger, 50));
    EXPECT_TRUE(silentFor(transceiver, 50));
    EXPECT_FALSE(status(0).waiting);
    EXPECT_EQ(view.log.size(), logBefore);
    // ...and the channel still relays the next good datagram.
    EXPECT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
}

TEST_F(StationLoopTest, TheAnySourceCodeAcceptsEveryAddressAndTheReplyGoesToEachSender) {
    PtyPeer& monitor = addChannel(0, std::string(kAnySource));
    activate();
    for (const char* address : {"127.0.0.2", "127.0.0.3"}) {
        UdpPeer transceiver(address);
        ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u) << address;
        monitor.write(0x06);
        Bytes reply;
        std::uint16_t from = 0;
        ASSERT_TRUE(replyArrives(transceiver, reply, from, 2000)) << address;
        EXPECT_EQ(reply, kOK);
    }
}

TEST_F(StationLoopTest, EachChannelIsAnsweredAsSoonAsItsOwnAcknowledgementArrives) {
    PtyPeer& a = addChannel(0, "127.0.0.2");
    PtyPeer& b = addChannel(1, "127.0.0.3");
    activate();
    UdpPeer ta("127.0.0.2");
    UdpPeer tb("127.0.0.3");
    ASSERT_EQ(sendAndReadLine(ta, 0, kWorkedDatagram).size(), 21u);
    ASSERT_EQ(sendAndReadLine(tb, 1, kWorkedDatagram).size(), 21u);
    b.write(0x06);
    Bytes reply;
    std::uint16_t from = 0;
    ASSERT_TRUE(replyArrives(tb, reply, from, 2000));
    EXPECT_EQ(from, portOf(1));
    EXPECT_TRUE(status(0).holding);  // the first channel still waits for its own answer
    a.write(0x06);
    ASSERT_TRUE(replyArrives(ta, reply, from, 2000));
    EXPECT_EQ(from, portOf(0));
}

TEST_F(StationLoopTest, OneChannelHandlesOneDatagramAtATimeInArrivalOrder) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    UdpPeer transceiver("127.0.0.2");
    Bytes second = kWorkedDatagram;
    second[3] = 0x09;  // account 1239
    transceiver.sendTo(portOf(0), kWorkedDatagram);
    transceiver.sendTo(portOf(0), second);
    Bytes lines;
    pumpUntil([&] {
        const auto got = monitor.read(42 - lines.size(), 5);
        lines.insert(lines.end(), got.begin(), got.end());
        return lines.size() >= 21;
    });
    pumpFor(100);
    auto more = monitor.readFor(30);
    lines.insert(lines.end(), more.begin(), more.end());
    ASSERT_EQ(lines.size(), 21u);  // the second waits for the first's acknowledgement
    EXPECT_EQ(lines[10], '4');
    monitor.write(0x06);
    Bytes next;
    pumpUntil([&] {
        const auto got = monitor.read(21 - next.size(), 5);
        next.insert(next.end(), got.begin(), got.end());
        return next.size() >= 21;
    });
    ASSERT_EQ(next.size(), 21u);
    EXPECT_EQ(next[10], '9');
}

TEST_F(StationLoopTest, HeartbeatsGoOutEveryPeriodAndAnEventLineRestartsThePeriod) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    EXPECT_TRUE(monitor.readFor(100).empty());
    jump(kHeartbeatPeriodMs);
    EXPECT_EQ(monitor.read(21, 2000), heartbeatLine());
    sync();
    EXPECT_EQ(view.color(0), LampColor::Lime);  // the heartbeat touches no lamp
    monitor.write(0x06);                        // the monitoring software confirms the heartbeat
    ASSERT_TRUE(pumpUntil([&] { return !status(0).waiting; }));
    pumpFor(600);

    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    monitor.write(0x06);
    Bytes reply;
    std::uint16_t from = 0;
    ASSERT_TRUE(replyArrives(transceiver, reply, from, 2000));
    // The period runs from the event line now, not from the last heartbeat (600 ms earlier).
    jump(kHeartbeatPeriodMs - 300);
    EXPECT_TRUE(monitor.readFor(150).empty());
    jump(400);
    EXPECT_EQ(monitor.read(21, 2000), heartbeatLine());
}

TEST_F(StationLoopTest, ExitEndsAWaitingDatagramWithoutAReply) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    activate();
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    loop->shutdown();
    EXPECT_FALSE(status(0).holding);
    EXPECT_FALSE(status(0).active);
    monitor.write(0x06);
    EXPECT_TRUE(silentFor(transceiver, 300));
}

TEST_F(StationLoopTest, StoppingTheChannelsDuringAWaitEndsItAndTheyRelayAgainAfterwards) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    addChannel(1, "127.0.0.2");
    activate();
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    const auto before = Clock::now();
    loop->stopAll();
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(2));
    sync();
    EXPECT_FALSE(status(0).holding);
    EXPECT_FALSE(status(0).active);
    EXPECT_FALSE(status(1).active);
    EXPECT_EQ(status(0).receivePort, 0);
    EXPECT_FALSE(view.visible(0));
    activate();
    pumpFor(500);  // the trigger armed before the stop must not time the channel out
    EXPECT_FALSE(status(0).timedOut);
    EXPECT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    monitor.write(0x06);
    Bytes reply;
    std::uint16_t from = 0;
    EXPECT_TRUE(replyArrives(transceiver, reply, from, 2000));
}

TEST_F(StationLoopTest, APortThatCannotBeOpenedHoldsNoOtherChannelBack) {
    addChannel(0, "127.0.0.2");
    state.table[0].ComIn = "COM77";  // no such device
    addChannel(1, "127.0.0.2");
    state.table[1].ComIn = "COM";  // no number at all
    PtyPeer& healthy = addChannel(2, "127.0.0.2");
    const auto pass = activateAll();
    ASSERT_EQ(pass.failures.size(), 2u);
    EXPECT_NE(pass.failures[0].find("ie_BadId - Specified comport doesn't exist"),
              std::string::npos);
    EXPECT_NE(pass.failures[1].find("'' is not a valid integer value"), std::string::npos);
    EXPECT_EQ(view.color(0), LampColor::Red);
    EXPECT_TRUE(view.visible(0));
    EXPECT_TRUE(status(0).portFailed);
    UdpPeer transceiver("127.0.0.2");
    EXPECT_EQ(sendAndReadLine(transceiver, 2, kWorkedDatagram).size(), 21u);
    healthy.write(0x06);
    Bytes reply;
    std::uint16_t from = 0;
    EXPECT_TRUE(replyArrives(transceiver, reply, from, 2000));

    // The device appears: the next reopen attempt brings the channel back.
    PtyPeer late(home.devices(), 77);
    ASSERT_TRUE(pumpUntil([&] { return !status(0).portFailed; }, 3000));
    EXPECT_EQ(status(0).comNumber, 77);
    // A ComIn without a number is not tried again: waiting cannot help it.
    EXPECT_TRUE(status(1).portFailed);
}

TEST_F(StationLoopTest, APortLostWhileOpenEndsTheWaitAndIsReopenedWhenItComesBack) {
    addChannel(0, "127.0.0.2");
    state.table[0].Pair = 7;  // the log names the channel as the operator knows it
    activate();
    UdpPeer transceiver("127.0.0.2");
    ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
    monitors[0].reset();  // the far end is gone
    ASSERT_TRUE(pumpUntil([&] { return status(0).portFailed; }, 3000));
    EXPECT_FALSE(status(0).holding);
    EXPECT_EQ(view.color(0), LampColor::Red);
    EXPECT_FALSE(!status(0).portFailed);
    int failureLines = 0;
    for (const auto& line : view.log) {
        if (line.find("порт недоступен") != std::string::npos) {
            ++failureLines;
            EXPECT_NE(line.find("Канал №7: "), std::string::npos) << line;
        }
    }
    EXPECT_EQ(failureLines, 1);
    jump(kHeartbeatPeriodMs);                        // no heartbeat into a lost port
    transceiver.sendTo(portOf(0), kWorkedDatagram);  // nor a line: no reply, no failure
    pumpFor(100);
    EXPECT_FALSE(status(0).holding);
    Bytes reply;
    std::uint16_t from = 0;
    EXPECT_FALSE(replyArrives(transceiver, reply, from, 50));

    monitors[0] = std::make_unique<PtyPeer>(home.devices(), 40);
    ASSERT_TRUE(pumpUntil([&] { return !status(0).portFailed; }, 3000));
    sync();
    EXPECT_NE(view.log.back().find("снова доступен"), std::string::npos);
    EXPECT_TRUE(!status(0).portFailed);
    EXPECT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
}

TEST_F(StationLoopTest, PortOpeningsAreLoggedWhetherOrNotDiagnosticsAreOn) {
    addChannel(0, "127.0.0.2");
    addChannel(1, "127.0.0.2");
    activate();
    ASSERT_EQ(view.log.size(), 2u);
    EXPECT_EQ(view.log[0], "09.12.2026 10:00:00  Открыт порт №40");
    EXPECT_EQ(view.log[1], "09.12.2026 10:00:00  Открыт порт №41");
    EXPECT_EQ(state.logLines, 0);
}

TEST_F(StationLoopTest, EventsAreLoggedThroughTheAccountFilterOnlyWhileDiagnosticsAreChecked) {
    PtyPeer& monitor = addChannel(0, "127.0.0.2");
    state.table[0].Pair = 3;
    activate();
    view.log.clear();
    UdpPeer transceiver("127.0.0.2");
    auto event = [&] {
        ASSERT_EQ(sendAndReadLine(transceiver, 0, kWorkedDatagram).size(), 21u);
        monitor.write(0x06);
        ASSERT_TRUE(pumpUntil([&] { return !status(0).holding; }));
    };
    view.filter = "";
    event();
    EXPECT_TRUE(view.log.empty());  // diagnosticsCheck unchecked
    view.diag = true;
    event();
    ASSERT_EQ(view.log.size(), 2u);
    EXPECT_EQ(view.log[0], "09.12.2026 10:00:00  Канал №3  127.0.0.2");
    EXPECT_EQ(view.log[1], "1234113AA1AA5   - 78 dBm");
    EXPECT_EQ(view.recordCountLabel, "1");
    view.filter = "1234";
    event();
    EXPECT_EQ(view.log.size(), 4u);
    for (const char* other : {"1235", "12345", "123"}) {
        view.filter = other;
        event();
        EXPECT_EQ(view.log.size(), 4u) << other;
    }
}

TEST(DiagnosticsLog, TheLimitSwitchesLoggingOffAfterTwoThousandLines) {
    SharedState state;
    FakeView view;
    StationDisplay relay(view, state);
    view.diag = true;
    for (int i = 0; i < 1000; ++i) {
        relay.addDiagnosticsEntry(1, "10.0.0.1", "123478113AA1AA5C", "- 78 dBm");
    }
    EXPECT_EQ(view.log.size(), 2000u);
    EXPECT_EQ(view.recordCountLabel, "1000");
    EXPECT_TRUE(view.diag);
    relay.addDiagnosticsEntry(1, "10.0.0.1", "123478113AA1AA5C", "- 78 dBm");
    EXPECT_EQ(view.recordCountLabel, "1001");
    EXPECT_FALSE(view.diag);
    ASSERT_EQ(view.log.size(), 2003u);
    EXPECT_EQ(view.log.back(),
              "09.12.2026 10:00:00  Превышено допустимое число записей. Запись диагностики "
              "отключена. Для возобновления записи необходимо выполнить очистку окна "
              "\"Диагностика\" приложения.");
    // Checking again without clearing: the next entry switches it off at once.
    view.diag = true;
    relay.addDiagnosticsEntry(1, "10.0.0.1", "123478113AA1AA5C", "- 78 dBm");
    EXPECT_FALSE(view.diag);
    EXPECT_EQ(view.log.size(), 2006u);
    relay.clearDiagnostics();
    EXPECT_TRUE(view.log.empty());
    EXPECT_EQ(view.recordCountLabel, "0");
}

// A COM port whose other end is closed: its driver takes each write and holds it until that end
// opens, as a null-modem pair does; what is discarded meanwhile never arrives.
class HeldOutputDevices final : public SerialDeviceOpener {
  public:
    std::unique_ptr<SerialDevice> open(std::uint16_t, const LineSettings&) override {
        return std::make_unique<Device>(*this);
    }
    void openFarEnd() {
        std::lock_guard<std::mutex> lock(mutex);
        delivered.insert(delivered.end(), held.begin(), held.end());
        held.clear();
    }
    std::size_t heldBytes() {
        std::lock_guard<std::mutex> lock(mutex);
        return held.size();
    }

    // What the monitoring software sends, for the port to read.
    void answer(const Bytes& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        input.insert(input.end(), bytes.begin(), bytes.end());
    }

    std::mutex mutex;
    Bytes held;
    Bytes delivered;
    Bytes input;
    std::atomic<bool> present{true};  // the far end's line (our DSR)

  private:
    class Device final : public SerialDevice {
      public:
        explicit Device(HeldOutputDevices& owner) : owner_(owner) {}
        void addWaits(WaitSet&, bool) override {}
        Ready check(const WaitSet&) override {
            Ready ready;
            ready.readable = true;
            return ready;
        }
        long read(std::uint8_t* buffer, std::size_t size) override {
            std::lock_guard<std::mutex> lock(owner_.mutex);
            const std::size_t n = std::min(size, owner_.input.size());
            std::copy_n(owner_.input.begin(), n, buffer);
            owner_.input.erase(owner_.input.begin(), owner_.input.begin() + long(n));
            return static_cast<long>(n);
        }
        bool peerPresent() const override { return owner_.present; }
        long write(const std::uint8_t* bytes, std::size_t size) override {
            std::lock_guard<std::mutex> lock(owner_.mutex);
            owner_.held.insert(owner_.held.end(), bytes, bytes + size);
            return static_cast<long>(size);
        }
        std::string error() const override { return {}; }
        void discardOutput() override {
            std::lock_guard<std::mutex> lock(owner_.mutex);
            owner_.held.clear();
        }

      private:
        HeldOutputDevices& owner_;
    };
};

class StationLoopOutput : public ::testing::Test {
  protected:
    StationLoopOutput() {
        StationLoopOptions options;
        options.devices = &devices;
        loop = std::make_unique<StationLoop>(options);
        record.Pair = 1;
        record.ComIn = "COM5";
        record.AddrIP = "127.0.0.2";
        record.Port = freeUdpPort();
        record.Cnvrt = 2;
        EXPECT_TRUE(loop->activate({channelSetup(0, record, nullptr)}).failures.empty());
    }
    ~StationLoopOutput() override { loop->shutdown(); }

    template <typename Pred>
    bool within(int ms, Pred pred) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
        bool done = pred();
        while (!done && Clock::now() < deadline) {
            (void)loop->status(0);  // the stand-in device wakes nobody: the test does
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            done = pred();
        }
        return done;
    }
    std::string log() {
        std::string text;
        for (const StationReport& r : loop->takeReports()) {
            text += r.text + "\n";
        }
        return text;
    }

    HeldOutputDevices devices;
    std::unique_ptr<StationLoop> loop;
    ChannelRecord record;
    UdpPeer transceiver{"127.0.0.2"};
};

TEST_F(StationLoopOutput, ALineNotTakenWithinItsWindowNeverReachesTheMonitoringSoftwareLater) {
    StationLoop& loop = *this->loop;

    transceiver.sendTo(static_cast<std::uint16_t>(record.Port), kWorkedDatagram);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (devices.heldBytes() == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_EQ(devices.heldBytes(), 21u);  // written, and held by the driver
    while (!loop.status(0).timedOut && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(loop.status(0).timedOut);
    EXPECT_EQ(devices.heldBytes(), 0u);  // discarded when its window ended
    devices.openFarEnd();
    EXPECT_TRUE(devices.delivered.empty());
    EXPECT_FALSE(loop.status(0).portFailed);  // a discarded line is no failure of the port
}

TEST_F(StationLoopOutput, NothingIsWrittenTowardsAClosedMonitoringPortUntilItOpensAgain) {
    const auto port = static_cast<std::uint16_t>(record.Port);
    Bytes reply;
    std::uint16_t from = 0;
    transceiver.sendTo(port, kWorkedDatagram);
    ASSERT_TRUE(within(3000, [&] { return devices.heldBytes() == 21; }));
    devices.openFarEnd();
    devices.answer({0x06});
    ASSERT_TRUE(within(3000, [&] { return transceiver.receive(reply, from, 1); }));

    devices.present = false;  // the monitoring software closes its port
    ASSERT_TRUE(within(3000, [&] { return log().find("закрыт") != std::string::npos; }));
    transceiver.sendTo(port, kWorkedDatagram);
    EXPECT_FALSE(within(400, [&] { return devices.heldBytes() > 0; }));
    EXPECT_FALSE(transceiver.receive(reply, from, 50));

    devices.present = true;
    ASSERT_TRUE(within(3000, [&] { return log().find("открыт.") != std::string::npos; }));
    transceiver.sendTo(port, kWorkedDatagram);
    EXPECT_TRUE(within(3000, [&] { return devices.heldBytes() == 21; }));
}

}  // namespace
}  // namespace lan2com::test
