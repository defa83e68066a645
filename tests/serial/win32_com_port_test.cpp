// The COM port over the Win32 device backend, served by waits as the station loop serves it:
// scripts/wine-test links COM ports to pseudo-terminals whose far end (the monitoring software's
// side of a null-modem pair) the harness's COM peer serves.

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/com_port.h"
#include "serial/serial_device.h"
#include "serial/serve_port.h"
#include "wine/wine_host.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using wine::ComPeer;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using serialtest::serveUntil;

constexpr std::uint16_t kAbsentCom = 40;  // never linked by the harness

bool write(ComPort& port, const std::string& text) {
    return port.write(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

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

    std::unique_ptr<ComPeer> peer_;
    std::uint16_t com_ = 0;
    std::uint16_t other_ = 0;
    LineSettings line_;
};

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST_F(Win32ComPort, CarriesALineOutAndTheAcknowledgementInThenClosesPromptly) {
    ComPort p;
    p.open(com_, line_);
    EXPECT_EQ(peer_->lines(com_), "dtr=1 rts=1");
    const std::string text = "5012 18 E13001003   \x14";
    ASSERT_TRUE(write(p, text));
    EXPECT_EQ(peer_->takeAtLeast(com_, text.size(), 3000), bytes(text));
    Bytes received;
    ASSERT_TRUE(serveUntil(p, received, [&] { return p.outputFree() == 42; }));

    // Nothing arriving for a while is no failure, and the wait really waits.
    const auto quiet = Clock::now();
    ASSERT_TRUE(serveUntil(
        p, received, [] { return false; }, 300ms));
    EXPECT_GE(Clock::now() - quiet, 250ms);
    EXPECT_TRUE(received.empty());

    peer_->send(com_, {0x06});
    ASSERT_TRUE(serveUntil(p, received, [&] { return !received.empty(); }));
    EXPECT_EQ(received, Bytes{0x06});

    const auto start = Clock::now();
    p.close();  // a pending wait on the device must end at once
    EXPECT_LT(Clock::now() - start, 1000ms);
    EXPECT_FALSE(p.isOpen());
}

TEST_F(Win32ComPort, EveryByteOfALongBurstArrivesInOrder) {
    ComPort p;
    p.open(com_, line_);
    Bytes sent(20000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i % 251);
    }
    Bytes got;
    // Sent in parts the size of a pseudo-terminal's buffer, each while the port takes the last.
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
        peer_->send(com_, Bytes(sent.begin() + at, sent.begin() + at + 1000));
        ASSERT_TRUE(serveUntil(
            p, got, [] { return false; }, 5ms));
    }
    ASSERT_TRUE(serveUntil(
        p, got, [&] { return got.size() >= sent.size(); }, 10s));
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);

    // And the other way, through the peer's echo: what the port writes comes back whole.
    peer_->setEcho(com_, true);
    const std::string text = "0123456789ABCDEFGHIJ";
    Bytes back;
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(serveUntil(p, back, [&] { return p.outputFree() >= text.size(); }));
        ASSERT_TRUE(write(p, text));
    }
    ASSERT_TRUE(serveUntil(
        p, back, [&] { return back.size() >= 20 * text.size(); }, 10s));
    ASSERT_EQ(back.size(), 20 * text.size());
    for (std::size_t i = 0; i < back.size(); ++i) {
        ASSERT_EQ(back[i], text[i % text.size()]) << "at " << i;
    }
}

TEST_F(Win32ComPort, LineSettingsReachTheDevice) {
    LineSettings quietLine;
    quietLine.dtr = false;
    quietLine.rts = false;
    quietLine.baud = 9600;
    quietLine.parity = Parity::pEven;
    quietLine.stopBits = 2;
    ComPort quiet;
    quiet.open(com_, quietLine);
    EXPECT_EQ(peer_->lines(com_), "dtr=0 rts=0");
    ASSERT_TRUE(write(quiet, "q"));
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("q"));

    // RS-485: the driver toggles RTS around transmissions where it can; where it cannot, the
    // port still opens and transfers.
    ComPort rs485;
    rs485.open(other_, [] {
        LineSettings l;
        l.rs485 = true;
        return l;
    }());
    ASSERT_TRUE(write(rs485, "r"));
    EXPECT_EQ(peer_->takeAtLeast(other_, 1, 3000), bytes("r"));
}

TEST_F(Win32ComPort, MissingAndHeldDevices) {
    EXPECT_TRUE(comDeviceExists(com_));
    EXPECT_TRUE(comDeviceExists(other_));
    EXPECT_FALSE(comDeviceExists(kAbsentCom));
    EXPECT_FALSE(comDeviceExists(0));
    EXPECT_EQ(comDevicePath(com_), "\\\\.\\COM" + std::to_string(com_));

    ComPort absent;
    EXPECT_THROW(absent.open(kAbsentCom, line_), NoSuchPortError);
    EXPECT_FALSE(absent.isOpen());

    // Another port of this process: refused, and nothing taken from the first.
    ComPort first;
    first.open(com_, line_);
    ComPort second;
    EXPECT_THROW(second.open(com_, line_), PortAlreadyOpenError);
    EXPECT_FALSE(second.isOpen());
    ASSERT_TRUE(write(first, "1"));
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("1"));
    first.close();  // once it lets go, the other gets in
    second.open(com_, line_);
    ASSERT_TRUE(write(second, "2"));
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("2"));

    // Another program holding the device (here a plain exclusive open).
    const std::wstring device = L"\\\\.\\COM" + std::to_wstring(other_);
    HANDLE held = CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    ComPort other;
    if (wine::runningUnderWine()) {
        // Wine ignores the share mode of serial devices: the port gets the device too.
        EXPECT_NO_THROW(other.open(other_, line_));
    } else {
        EXPECT_THROW(other.open(other_, line_), PortAlreadyOpenError);
        EXPECT_FALSE(other.isOpen());
    }
    other.close();
    CloseHandle(held);
    other.open(other_, line_);
    EXPECT_TRUE(other.isOpen());
}

TEST_F(Win32ComPort, AHungUpLineIsAFailureUntilAReopenRecovers) {
    ComPort p;
    p.open(com_, line_);
    peer_->hangup(com_);
    Bytes received;
    EXPECT_FALSE(serveUntil(p, received, [] { return false; }));
    EXPECT_TRUE(p.failed());
    EXPECT_EQ(p.error().rfind("COM" + std::to_string(com_) + ": device lost (", 0), 0u)
        << p.error();
    EXPECT_FALSE(write(p, "b"));

    p.close();
    peer_->reset(com_);
    p.open(com_, line_);
    ASSERT_TRUE(write(p, "c"));
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), bytes("c"));
    peer_->send(com_, {0x06});
    ASSERT_TRUE(serveUntil(p, received, [&] { return received.size() == 1; }));
    EXPECT_EQ(received[0], 0x06);
}

}  // namespace
}  // namespace lan2com
