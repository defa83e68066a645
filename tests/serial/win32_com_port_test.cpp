// The serial port over the Win32 device backend: scripts/wine-test links COM ports to
// pseudo-terminals whose far end (the monitoring software's side of a null-modem pair) the
// harness's COM peer serves. The test drives the main thread with the hand-over queue.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/handover.h"
#include "serial/apd_com_port.h"
#include "serial/serial_fakes.h"
#include "wine/wine_host.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using serialtest::Events;
using serialtest::RecordingErrors;
using wine::ComPeer;
using Clock = std::chrono::steady_clock;

constexpr std::uint16_t kAbsentCom = 40;  // never linked by the harness

class Win32ComPort : public ::testing::Test {
  protected:
    void SetUp() override {
        peer_ = ComPeer::fromEnvironment();
        if (!peer_ || ComPeer::linkedPorts().size() < 2) {
            GTEST_SKIP() << "no COM peer (run through scripts/wine-test)";
        }
        com_ = ComPeer::linkedPorts()[0];
        other_ = ComPeer::linkedPorts()[1];
        peer_->reset(com_);
        peer_->reset(other_);
    }

    void TearDown() override {
        if (peer_) {
            peer_->reset(com_);
            peer_->reset(other_);
        }
    }

    std::unique_ptr<TApdComPort> makePort(std::uint16_t number) {
        auto port = std::make_unique<TApdComPort>(services_, number);
        port->SetComNumber(number);
        return port;
    }

    // The port on the first linked COM, open, its events recorded in `events` (which outlives
    // it), every received byte read.
    std::unique_ptr<TApdComPort> openRecordedPort() {
        auto port = makePort(com_);
        events.attach(*port, Events::kAll);
        port->SetOpen(true);
        return port;
    }

    bool pumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 3000ms) {
        return handover_.pumpUntil(done, limit);
    }

    Events events;
    std::unique_ptr<ComPeer> peer_;
    std::uint16_t com_ = 0;
    std::uint16_t other_ = 0;
    QueueHandover handover_;
    RecordingErrors errors_;
    SerialServices services_{handover_, errors_, systemMsClock()};
};

std::vector<std::uint8_t> bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

TEST_F(Win32ComPort, CarriesALineOutAndTheAcknowledgementInThenClosesPromptly) {
    const auto owned = openRecordedPort();
    TApdComPort& p = *owned;
    EXPECT_EQ(events.opens, 1);
    EXPECT_EQ(peer_->lines(com_), "dtr=1 rts=1");

    const std::string line = "5012 18 E13001003   \x14";
    for (char c : line) {
        p.PutChar(static_cast<std::uint8_t>(c));
    }
    EXPECT_EQ(peer_->takeAtLeast(com_, line.size(), 3000), bytes(line));
    EXPECT_TRUE(pumpUntil([&] { return p.OutBuffFree() == 42; }));

    // Nothing arriving for a while is no failure (reads that find nothing end at once).
    handover_.pumpFor(300ms);
    EXPECT_TRUE(events.errors.empty());

    peer_->send(com_, {0x06});
    ASSERT_TRUE(pumpUntil([&] { return !events.read.empty(); }));
    EXPECT_EQ(events.counts[0], 1);
    EXPECT_EQ(events.read, std::vector<std::uint8_t>{0x06});

    const auto start = Clock::now();
    p.SetOpen(false);  // the port's thread waits on the device: the close must end that wait
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_EQ(p.State(), PortState::psClosed);
    EXPECT_TRUE(events.errors.empty());
}

TEST_F(Win32ComPort, EveryByteOfALongBurstArrivesInOrder) {
    const auto owned = makePort(com_);
    TApdComPort& p = *owned;
    std::vector<std::uint8_t> got;
    p.OnTriggerAvail = [&](TApdComPort&, std::uint16_t) {};  // reads nothing itself
    p.SetOpen(true);
    std::vector<std::uint8_t> sent(20000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i % 251);
    }
    // Sent in parts the size of a pseudo-terminal's buffer, each while the port takes the last.
    auto takeAll = [&p](std::vector<std::uint8_t>& into) {
        try {
            for (;;) {
                into.push_back(p.GetChar());
            }
        } catch (const EBufferIsEmpty&) {
        }
    };
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
        peer_->send(com_, std::vector<std::uint8_t>(sent.begin() + at, sent.begin() + at + 1000));
        handover_.pumpFor(5ms);
        takeAll(got);
    }
    const auto start = Clock::now();
    while (got.size() < sent.size() && Clock::now() - start < 10s) {
        handover_.pumpFor(5ms);
        takeAll(got);
    }
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);

    // And the other way, through the peer's echo: what the port writes comes back whole.
    peer_->setEcho(com_, true);
    const std::string text = "0123456789ABCDEFGHIJ";
    std::vector<std::uint8_t> back;
    for (int round = 0; round < 20; ++round) {
        for (char c : text) {
            ASSERT_TRUE(pumpUntil([&] { return p.OutBuffFree() > 0; }));
            p.PutChar(static_cast<std::uint8_t>(c));
        }
    }
    const auto echoStart = Clock::now();
    while (back.size() < 20 * text.size() && Clock::now() - echoStart < 10s) {
        handover_.pumpFor(5ms);
        takeAll(back);
    }
    ASSERT_EQ(back.size(), 20 * text.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(back[i], text[i % text.size()]) << "at " << i;
    }
}

TEST_F(Win32ComPort, LineSettingsReachTheDevice) {
    const auto quietPort = makePort(com_);
    TApdComPort& quiet = *quietPort;
    quiet.DTR = false;
    quiet.RTS = false;
    quiet.Baud = 9600;
    quiet.parity = Parity::pEven;
    quiet.StopBits = 2;
    quiet.SetOpen(true);
    EXPECT_EQ(peer_->lines(com_), "dtr=0 rts=0");
    quiet.PutChar('q');
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("q"));

    // RS-485: the driver toggles RTS around transmissions where it can; where it cannot, the
    // port still opens and transfers.
    const auto rs485Port = makePort(other_);
    TApdComPort& rs485 = *rs485Port;
    rs485.RS485Mode = true;
    rs485.SetOpen(true);
    rs485.PutChar('r');
    EXPECT_EQ(peer_->takeAtLeast(other_, 1, 3000), bytes("r"));
}

TEST_F(Win32ComPort, MissingAndHeldDevices) {
    EXPECT_TRUE(comDeviceExists(com_));
    EXPECT_TRUE(comDeviceExists(other_));
    EXPECT_FALSE(comDeviceExists(kAbsentCom));
    EXPECT_FALSE(comDeviceExists(0));
    EXPECT_EQ(comDevicePath(com_), "\\\\.\\COM" + std::to_string(com_));

    const auto absentPort = makePort(kAbsentCom);
    TApdComPort& absent = *absentPort;
    events.attach(absent, Events::kAll);
    EXPECT_THROW(absent.SetOpen(true), EBadId);
    EXPECT_FALSE(absent.Open());
    EXPECT_EQ(events.opens, 0);

    // Another port of this process: refused, and nothing taken from the first.
    const auto firstPort = makePort(com_);
    TApdComPort& first = *firstPort;
    first.SetOpen(true);
    const auto secondPort = makePort(com_);
    TApdComPort& second = *secondPort;
    EXPECT_THROW(second.SetOpen(true), EAlreadyOpen);
    EXPECT_FALSE(second.Open());
    first.PutChar('1');
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("1"));
    first.SetOpen(false);  // once it lets go, the other gets in
    second.SetOpen(true);
    second.PutChar('2');
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("2"));

    // Another program holding the device (here a plain exclusive open).
    const std::wstring device = L"\\\\.\\COM" + std::to_wstring(other_);
    HANDLE held = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    const auto otherPort = makePort(other_);
    if (wine::runningUnderWine()) {
        // Wine ignores the share mode of serial devices: the port gets the device too.
        EXPECT_NO_THROW(otherPort->SetOpen(true));
    } else {
        EXPECT_THROW(otherPort->SetOpen(true), EAlreadyOpen);
        EXPECT_FALSE(otherPort->Open());
    }
    otherPort->SetOpen(false);
    CloseHandle(held);
    otherPort->SetOpen(true);
    EXPECT_TRUE(otherPort->Open());
}

TEST_F(Win32ComPort, AHungUpLineIsReportedOnceAndAReopenRecovers) {
    const auto owned = openRecordedPort();
    TApdComPort& p = *owned;
    const std::uint16_t handle = p.AddTimerTrigger();
    p.SetTimerTrigger(handle, 5, true);  // an event waits for its acknowledgement
    peer_->hangup(com_);
    ASSERT_TRUE(pumpUntil([&] { return !events.errors.empty(); }));
    EXPECT_EQ(events.errors[0].rfind("COM" + std::to_string(com_) + ": device lost (", 0), 0u)
        << events.errors[0];
    EXPECT_THROW(p.PutChar('b'), ECommNotOpen);
    ASSERT_TRUE(pumpUntil([&] { return events.timers.size() == 1; }));  // the trigger still fires
    handover_.pumpFor(300ms);
    EXPECT_EQ(events.errors.size(), 1u);

    p.SetOpen(false);
    peer_->reset(com_);
    p.SetOpen(true);
    p.PutChar('c');
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("c"));
    peer_->send(com_, {0x06});
    ASSERT_TRUE(pumpUntil([&] { return events.read.size() == 1; }));
    EXPECT_EQ(events.read[0], 0x06);
}

TEST_F(Win32ComPort, FiveTickTriggerFiresOnceOnTheMultimediaClock) {
    ClockResolution resolution;
    const auto owned = openRecordedPort();
    TApdComPort& p = *owned;
    const std::uint16_t handle = p.AddTimerTrigger();
    EXPECT_EQ(handle, 8);
    const auto armed = Clock::now();
    p.SetTimerTrigger(handle, 5, true);
    ASSERT_TRUE(pumpUntil([&] { return !events.timers.empty(); }, 2000ms));
    const auto after =
        std::chrono::duration_cast<std::chrono::milliseconds>(events.timerAt[0] - armed).count();
    EXPECT_GE(after, 275);
    EXPECT_LE(after, 600);  // 330 ms on an idle machine; the margin is for a busy one
    handover_.pumpFor(400ms);
    EXPECT_EQ(events.timers, std::vector<std::uint16_t>{handle});
}

}  // namespace
}  // namespace lan2com
