// The COM port over real pseudo-terminals: the port opens the slave side as COMn, the test plays
// the monitoring software on the master side and serves the port as the station loop does.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "serial/com_port.h"
#include "serial/pty_end.h"
#include "serial/serial_device.h"
#include "serial/serve_port.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using serialtest::DevicesHome;
using serialtest::PtyEnd;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using serialtest::serveUntil;

template <typename E, typename F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no failure)";
}

Bytes lineBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class ComPortPtyTest : public ::testing::Test {
  protected:
    DevicesHome home;
    LineSettings line;
};

TEST_F(ComPortPtyTest, OpeningFailsWithTheReasonsFixedMessageAndTriesAfreshNextTime) {
    ComPort port;
    home.link(5, (home.devices() / "gone").string());  // a dangling link
    EXPECT_EQ(failureOf<NoSuchPortError>([&] { port.open(5, line); }),
              "ie_BadId - Specified comport doesn't exist");
    EXPECT_FALSE(port.isOpen());
    EXPECT_FALSE(comDeviceExists(5));
    EXPECT_THROW(port.open(44, line), NoSuchPortError);  // no link and no /dev/ttyS43
    EXPECT_EQ(failureOf<NoPortSelectedError>([&] { port.open(0, line); }),
              "The ComNumber property of the TApdComPort has not been set");

    PtyEnd far(home, 5);
    EXPECT_TRUE(comDeviceExists(5));
    port.open(5, line);
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.number(), 5);

    ComPort second;  // the device is this program's alone while open
    EXPECT_EQ(failureOf<PortAlreadyOpenError>([&] { second.open(5, line); }),
              "ie_Open - device already open");
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.outputFree(), 0u);
    EXPECT_FALSE(port.write(lineBytes("x").data(), 1));  // a closed port takes nothing
    second.open(5, line);
    EXPECT_TRUE(second.isOpen());
}

TEST_F(ComPortPtyTest, ALineIsWrittenWholeAndEveryByteThatArrivesIsReadAtOnce) {
    PtyEnd far(home, 4);
    ComPort port;
    port.open(4, line);
    EXPECT_EQ(port.outputFree(), 42u);
    const Bytes sent = lineBytes("5012 18 E13001003   \x14");
    ASSERT_TRUE(port.write(sent.data(), sent.size()));
    EXPECT_EQ(far.read(sent.size(), 3000), sent);

    far.write(Bytes{0x41, 0x15, 0x06, 0x00, 0x06});
    Bytes received;
    ASSERT_TRUE(serveUntil(port, received, [&] { return received.size() >= 5; }));
    EXPECT_EQ(received, (Bytes{0x41, 0x15, 0x06, 0x00, 0x06}));
}

TEST_F(ComPortPtyTest, AFarEndThatDoesNotReadFillsTheBufferWithoutLosingOrReorderingAByte) {
    PtyEnd far(home, 6);
    ComPort port;
    port.open(6, line);
    // Write lines until the pty and then the 42-byte buffer are full: a line that does not fit
    // is refused whole, and the far end not reading is no failure.
    Bytes sent;
    Bytes received;
    int refused = 0;
    for (std::uint32_t i = 0; refused < 3 && sent.size() < 4'000'000; ++i) {
        Bytes next(21);
        for (std::size_t k = 0; k < next.size(); ++k) {
            next[k] = static_cast<std::uint8_t>((i * 21 + k) * 7 & 0xFF);
        }
        if (port.write(next.data(), next.size())) {
            sent.insert(sent.end(), next.begin(), next.end());
            refused = 0;
        } else {
            ++refused;
            EXPECT_LT(port.outputFree(), 21u);
            ASSERT_TRUE(serveUntil(
                port, received, [] { return false; }, 20ms));
        }
    }
    EXPECT_FALSE(port.failed());
    // The far end reads again: everything taken arrives, in order.
    Bytes got;
    const auto deadline = Clock::now() + 20s;
    while (got.size() < sent.size() && Clock::now() < deadline) {
        const Bytes part = far.read(sent.size() - got.size(), 10);
        got.insert(got.end(), part.begin(), part.end());
        ASSERT_TRUE(serveUntil(
            port, received, [] { return false; }, 5ms));
    }
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_EQ(port.outputFree(), 42u);
}

TEST_F(ComPortPtyTest, AFarEndThatGoesIsAFailureUntilThePortIsOpenedAgain) {
    PtyEnd far(home, 8);
    ComPort port;
    port.open(8, line);
    far.write(Bytes{0x06});
    far.hangUp();
    Bytes received;
    EXPECT_FALSE(serveUntil(port, received, [] { return false; }));
    EXPECT_TRUE(port.failed());
    EXPECT_EQ(port.error().rfind("COM8: device lost (", 0), 0u) << port.error();
    EXPECT_EQ(port.outputFree(), 0u);
    const Bytes sent = lineBytes("x");
    EXPECT_FALSE(port.write(sent.data(), sent.size()));

    far.open(home, 8);  // back, behind the same name
    port.close();
    port.open(8, line);
    EXPECT_FALSE(port.failed());
    ASSERT_TRUE(port.write(sent.data(), sent.size()));
    EXPECT_EQ(far.read(1, 3000), sent);
}

}  // namespace
}  // namespace lan2com
