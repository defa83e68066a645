// Dispatch of the serial port's events over a device that exists only in memory, so that what
// arrives together and when is up to the test.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/handover.h"
#include "serial/apd_com_port.h"
#include "serial/serial_fakes.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using serialtest::FakeDevice;
using serialtest::FakeDevices;
using serialtest::RecordingErrors;
using serialtest::SettableClock;

class ComPortDispatchTest : public ::testing::Test {
  protected:
    std::unique_ptr<TApdComPort> openPort(std::uint16_t number = 3) {
        auto port = std::make_unique<TApdComPort>(services, number);
        port->SetComNumber(number);
        attach(*port);
        port->SetOpen(true);
        return port;
    }
    void attach(TApdComPort& port) {
        port.OnTriggerAvail = [this](TApdComPort& p, std::uint16_t count) {
            counts.push_back(count);
            for (int i = 0; i < readPerEvent; ++i) {
                read.push_back(p.GetChar());
            }
        };
        port.OnTriggerTimer = [this](TApdComPort&, std::uint16_t h) { timers.push_back(h); };
        port.OnPortError = [this](TApdComPort&, const std::string& m) { portErrors.push_back(m); };
        port.OnPortOpen = [this](TApdComPort&) { ++opens; };
    }
    void feed(std::vector<std::uint8_t> bytes) {
        devices.change([&](FakeDevice::State& s) {
            s.input.insert(s.input.end(), bytes.begin(), bytes.end());
        });
    }
    bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds t = 3000ms) {
        return handover.pumpUntil(pred, t);
    }

    QueueHandover handover;
    RecordingErrors errors;
    SettableClock clock;
    FakeDevices devices;
    SerialServices services{handover, errors, clock, nullptr, &devices};

    int readPerEvent = 1;
    int opens = 0;
    std::vector<std::uint16_t> counts;
    std::vector<std::uint8_t> read;
    std::vector<std::uint16_t> timers;
    std::vector<std::string> portErrors;
};

TEST_F(ComPortDispatchTest, NakAndAckTogetherMakeOneEventAndTheAckWaitsForTheNextByte) {
    auto port = openPort();
    feed({0x15, 0x06});
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], 2);
    EXPECT_EQ(read[0], 0x15);
    handover.pumpFor(300ms);
    EXPECT_EQ(counts.size(), 1u);  // the unread 0x06 causes no event by itself

    feed({0x41});
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 2);
    EXPECT_EQ(read[1], 0x06);
}

TEST_F(ComPortDispatchTest, HandlerPeeksAndOnlyWhatItReadIsConsumed) {
    readPerEvent = 0;
    std::string inside;
    std::string beyond;
    auto port = openPort();
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t count) {
        counts.push_back(count);
        if (counts.size() == 1) {
            for (int i = 0; i < count; ++i) {
                inside.push_back(static_cast<char>(p.GetChar()));
            }
            try {
                p.GetChar();
            } catch (const EBufferIsEmpty& e) {
                beyond = e.what();
            }
        }
    };
    feed({'a', 'b', 'c'});
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(inside, "abc");
    EXPECT_EQ(beyond, "Buffer is empty");
    EXPECT_THROW(port->GetChar(), EBufferIsEmpty);  // all three were consumed

    feed({'d', 'e'});  // this time the handler reads nothing
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 2);
    EXPECT_EQ(port->GetChar(), 'd');  // outside an event GetChar consumes
    EXPECT_EQ(port->GetChar(), 'e');
    EXPECT_THROW(port->GetChar(), EBufferIsEmpty);
}

TEST_F(ComPortDispatchTest, BytesArrivingWhileAHandlerRunsWaitForTheNextEvent) {
    readPerEvent = 0;
    std::vector<std::uint8_t> firstRead;
    auto port = openPort();
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t count) {
        counts.push_back(count);
        if (counts.size() == 1) {
            feed({'c', 'd'});
            // The port's thread reads them meanwhile; they must not join this event's bytes.
            for (int i = 0; i < 200; ++i) {
                bool drained = false;
                devices.change([&](FakeDevice::State& s) { drained = s.input.empty(); });
                if (drained) {
                    break;
                }
                std::this_thread::sleep_for(5ms);
            }
            std::this_thread::sleep_for(20ms);
            for (;;) {
                try {
                    firstRead.push_back(p.GetChar());
                } catch (const EBufferIsEmpty&) {
                    break;
                }
            }
        } else {
            for (int i = 0; i < count; ++i) {
                read.push_back(p.GetChar());
            }
        }
    };
    feed({'a', 'b'});
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[0], 2);
    EXPECT_EQ(firstRead, (std::vector<std::uint8_t>{'a', 'b'}));
    EXPECT_EQ(counts[1], 2);
    EXPECT_EQ(read, (std::vector<std::uint8_t>{'c', 'd'}));
}

TEST_F(ComPortDispatchTest, ATriggerDueWhileAHandlerRunsFiresAfterItWithoutBusyLooking) {
    clock.ms = 100 * kTickMs;
    auto port = openPort();
    const auto h = port->AddTimerTrigger();
    int waitsBefore = 0;
    int waitsAfter = 0;
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t count) {
        counts.push_back(count);
        p.GetChar();
        clock.ms = clock.ms + 10 * kTickMs;  // the trigger is due while this handler runs
        devices.change([&](FakeDevice::State& s) { waitsBefore = s.waits; });
        std::this_thread::sleep_for(300ms);
        devices.change([&](FakeDevice::State& s) { waitsAfter = s.waits; });
    };
    port->SetTimerTrigger(h, 1, true);
    feed({0x06});
    ASSERT_TRUE(pumpUntil([&] { return timers.size() == 1; }));
    EXPECT_EQ(timers[0], h);
    EXPECT_EQ(counts.size(), 1u);
    EXPECT_LE(waitsAfter - waitsBefore, 5) << "the port's thread looked again and again";
}

TEST_F(ComPortDispatchTest, AcknowledgementInTheSamePassAsTheExpiryRunsFirst) {
    clock.ms = 100 * kTickMs;
    std::vector<std::string> order;
    auto port = openPort();
    const auto handle = port->AddTimerTrigger();
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t) {
        order.push_back("avail");
        p.GetChar();
        p.SetTimerTrigger(handle, 5, false);
    };
    port->OnTriggerTimer = [&](TApdComPort&, std::uint16_t) { order.push_back("timer"); };
    port->SetTimerTrigger(handle, 100, true);  // due after tick 200: seconds away in real time
    std::this_thread::sleep_for(50ms);         // the port's thread sleeps until then
    clock.ms = 300 * kTickMs;                  // the clock jumps past the deadline ...
    feed({0x06});                              // ... and the byte wakes the thread
    ASSERT_TRUE(pumpUntil([&] { return !order.empty(); }));
    handover.pumpFor(300ms);
    EXPECT_EQ(order, std::vector<std::string>{"avail"});
}

TEST_F(ComPortDispatchTest, ExpiredTriggerFiresWhenTheClockPassesItsDeadline) {
    clock.ms = 1000 * kTickMs + 3;
    auto port = openPort();
    const auto a = port->AddTimerTrigger();
    const auto b = port->AddTimerTrigger();
    port->SetTimerTrigger(b, 2, true);
    port->SetTimerTrigger(a, 3, true);
    handover.pumpFor(100ms);
    EXPECT_TRUE(timers.empty());
    clock.ms = 1003 * kTickMs;  // b is due (1002 < 1003), a not yet (1003 is not > 1003)
    ASSERT_TRUE(pumpUntil([&] { return timers.size() == 1; }));
    EXPECT_EQ(timers[0], b);
    clock.ms = 1100 * kTickMs;
    ASSERT_TRUE(pumpUntil([&] { return timers.size() == 2; }));
    EXPECT_EQ(timers[1], a);
    handover.pumpFor(200ms);
    EXPECT_EQ(timers.size(), 2u);
}

TEST_F(ComPortDispatchTest, FullOutputBufferHoldsFortyTwoBytesBesideTheWritersBlock) {
    devices.change([](FakeDevice::State& s) { s.acceptWrites = false; });
    auto port = openPort();
    std::vector<std::uint8_t> sent;
    for (int i = 0; i < 200; ++i) {
        try {
            port->PutChar(static_cast<std::uint8_t>(i));
            sent.push_back(static_cast<std::uint8_t>(i));
        } catch (const EOutputBufferTooSmall& e) {
            EXPECT_STREQ(e.what(), "Output buffer too small for block");
            break;
        }
        std::this_thread::sleep_for(1ms);  // give the writer the chance to take bytes
    }
    EXPECT_EQ(port->OutBuffFree(), 0);
    std::size_t taken = 0;
    devices.change([&](FakeDevice::State& s) { taken = s.offered; });
    EXPECT_GE(taken, 1u);
    EXPECT_EQ(sent.size(), 42u + taken);

    devices.change([](FakeDevice::State& s) { s.acceptWrites = true; });
    std::vector<std::uint8_t> written;
    ASSERT_TRUE(pumpUntil([&] {
        devices.change([&](FakeDevice::State& s) { written = s.written; });
        return written.size() == sent.size();
    }));
    EXPECT_EQ(written, sent);
    EXPECT_EQ(port->OutBuffFree(), 42);
}

TEST_F(ComPortDispatchTest, WriteFailureIsReportedOnceAndRefusesFurtherOutput) {
    auto port = openPort(12);
    devices.change([](FakeDevice::State& s) { s.failWrites = "Broken pipe"; });
    port->PutChar('a');
    ASSERT_TRUE(pumpUntil([&] { return !portErrors.empty(); }));
    EXPECT_EQ(portErrors[0], "COM12: write failed (Broken pipe)");
    EXPECT_THROW(port->PutChar('b'), ECommNotOpen);
    // Timer triggers still work on the failed port.
    const auto h = port->AddTimerTrigger();
    port->SetTimerTrigger(h, 1, true);
    clock.ms = clock.ms + 10 * kTickMs;
    ASSERT_TRUE(pumpUntil([&] { return timers.size() == 1; }));
    handover.pumpFor(100ms);
    EXPECT_EQ(portErrors.size(), 1u);

    port->SetOpen(false);
    bool destroyed = false;
    devices.change([&](FakeDevice::State& s) { destroyed = s.destroyed; });
    EXPECT_TRUE(destroyed);
}

TEST_F(ComPortDispatchTest, SettingsReachTheDeviceAndRs485ReleasesRts) {
    auto port = std::make_unique<TApdComPort>(services, 9);
    port->SetComNumber(9);
    port->RTS = false;
    port->RS485Mode = true;
    port->StopBits = 2;
    port->SetOpen(true);
    EXPECT_EQ(devices.opened, std::vector<std::uint16_t>{9});
    EXPECT_EQ(devices.lastLine.baud, 115200);
    EXPECT_EQ(devices.lastLine.dataBits, 8);
    EXPECT_EQ(devices.lastLine.stopBits, 2);
    EXPECT_EQ(devices.lastLine.inSize, 42);
    EXPECT_EQ(devices.lastLine.outSize, 42);
    EXPECT_TRUE(devices.lastLine.dtr);
    EXPECT_TRUE(devices.lastLine.rs485);
    EXPECT_FALSE(port->RTS);

    auto plain = std::make_unique<TApdComPort>(services, 1);
    plain->SetComNumber(1);
    plain->SetOpen(true);
    EXPECT_TRUE(devices.lastLine.rts);
    EXPECT_TRUE(plain->RTS);
}

TEST_F(ComPortDispatchTest, NewNumberOnAnOpenPortReopensItWithItsTriggers) {
    auto port = openPort(3);
    const auto h = port->AddTimerTrigger();
    port->SetTimerTrigger(h, 4, true);
    port->SetComNumber(3);  // the same number: nothing happens
    EXPECT_EQ(opens, 1);
    port->SetComNumber(4);
    EXPECT_EQ(devices.opened, (std::vector<std::uint16_t>{3, 4}));
    EXPECT_EQ(opens, 2);
    EXPECT_EQ(port->ComNumber(), 4);
    clock.ms = clock.ms + 10 * kTickMs;
    ASSERT_TRUE(pumpUntil([&] { return timers.size() == 1; }));
    EXPECT_EQ(timers[0], h);

    port->SetOpen(false);
    port->SetComNumber(5);  // on a closed port it is only stored
    EXPECT_EQ(devices.opened.size(), 2u);
    EXPECT_FALSE(port->Open());
}

TEST_F(ComPortDispatchTest, IdlePortLeavesItsThreadsAsleep) {
    auto port = openPort();
    handover.pumpFor(100ms);
    int before = 0;
    devices.change([&](FakeDevice::State& s) { before = s.waits; });
    std::this_thread::sleep_for(600ms);
    int after = 0;
    devices.change([&](FakeDevice::State& s) { after = s.waits; });
    EXPECT_EQ(after, before);

    // A byte still gets through at once.
    feed({0x06});
    ASSERT_TRUE(pumpUntil([&] { return counts.size() == 1; }, 1000ms));
}

TEST_F(ComPortDispatchTest, DestroyingAnOpenPortClosesIt) {
    auto port = openPort();
    feed({1, 2, 3});
    std::this_thread::sleep_for(50ms);  // an event now waits for the main thread
    port.reset();
    bool destroyed = false;
    devices.change([&](FakeDevice::State& s) { destroyed = s.destroyed; });
    EXPECT_TRUE(destroyed);
    handover.pumpFor(100ms);
    EXPECT_TRUE(counts.empty());
}

}  // namespace
}  // namespace lan2com
