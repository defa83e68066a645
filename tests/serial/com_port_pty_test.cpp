// The serial port over real pseudo-terminals: the port opens the slave side as COMn, the test
// plays the monitoring software on the master side, and drives the main thread with the
// hand-over queue.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/handover.h"
#include "serial/apd_com_port.h"
#include "serial/pty_end.h"
#include "serial/serial_fakes.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using serialtest::DevicesHome;
using serialtest::Events;
using serialtest::PtyEnd;
using serialtest::RecordingErrors;
using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

class ComPortPtyTest : public ::testing::Test {
  protected:
    std::unique_ptr<TApdComPort> makePort(std::uint16_t number) {
        auto port = std::make_unique<TApdComPort>(services, number);
        port->SetComNumber(number);
        return port;
    }
    bool pumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 3000ms) {
        return handover.pumpUntil(pred, timeout);
    }

    DevicesHome home;
    QueueHandover handover;
    RecordingErrors errors;
    SerialServices services{handover, errors, systemMsClock()};
};

template <typename E, typename F>
std::string failureOf(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "(no failure)";
}

TEST_F(ComPortPtyTest, OpenFailsWithBadIdWhenTheDeviceIsMissing) {
    home.link(5, (home.devices() / "gone").string());  // a dangling link
    auto port = makePort(5);
    Events events;
    events.attach(*port);
    EXPECT_EQ(failureOf<EBadId>([&] { port->SetOpen(true); }),
              "ie_BadId - Specified comport doesn't exist");
    EXPECT_FALSE(port->Open());
    EXPECT_EQ(port->State(), PortState::psClosed);
    EXPECT_EQ(events.opens, 0);
    EXPECT_FALSE(comDeviceExists(5));

    auto unlinked = makePort(44);  // no link and no /dev/ttyS43
    EXPECT_THROW(unlinked->SetOpen(true), EBadId);

    // A later open tries again from the start.
    PtyEnd far(home, 5);
    EXPECT_TRUE(comDeviceExists(5));
    port->SetOpen(true);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(events.opens, 1);
}

TEST_F(ComPortPtyTest, SecondOpenerOfTheSameDeviceIsRefused) {
    PtyEnd far(home, 3);
    auto first = makePort(3);
    auto second = makePort(3);
    first->SetOpen(true);
    EXPECT_EQ(failureOf<EAlreadyOpen>([&] { second->SetOpen(true); }),
              "ie_Open - device already open");
    EXPECT_FALSE(second->Open());

    // The refused port took nothing from the first.
    Events events;
    events.attach(*first);
    far.write({0x06});
    ASSERT_TRUE(pumpUntil([&] { return events.counts.size() == 1; }));

    // Once the first lets go, the second gets in.
    first->SetOpen(false);
    second->SetOpen(true);
    EXPECT_TRUE(second->Open());
}

TEST_F(ComPortPtyTest, OpeningAndClosingTwiceDoNothingMore) {
    PtyEnd far(home, 2);
    auto port = makePort(2);
    Events events;
    events.attach(*port);
    port->SetOpen(false);  // closing a closed port
    EXPECT_EQ(port->State(), PortState::psClosed);
    port->SetOpen(true);
    port->SetOpen(true);
    EXPECT_EQ(events.opens, 1);
    EXPECT_EQ(port->State(), PortState::psOpen);
    port->SetOpen(false);
    port->SetOpen(false);
    EXPECT_EQ(port->State(), PortState::psClosed);
    EXPECT_FALSE(port->Open());
}

TEST_F(ComPortPtyTest, ClosedPortRefusesEveryOperationButOutBuffFree) {
    auto port = makePort(2);
    EXPECT_EQ(port->OutBuffFree(), 42);
    const std::string notOpen = "ie_NOpen - device not open";
    EXPECT_EQ(failureOf<ECommNotOpen>([&] { port->PutChar('A'); }), notOpen);
    EXPECT_EQ(failureOf<ECommNotOpen>([&] { port->GetChar(); }), notOpen);
    EXPECT_EQ(failureOf<ECommNotOpen>([&] { port->AddTimerTrigger(); }), notOpen);
    EXPECT_EQ(failureOf<ECommNotOpen>([&] { port->SetTimerTrigger(8, 5, true); }), notOpen);
}

// Answers the dialog as the test tells it.
class ScriptedPrompt : public PortPrompt {
  public:
    std::optional<std::string> choosePort() override {
        ++asked;
        return answer;
    }
    std::optional<std::string> answer;
    int asked = 0;
};

TEST_F(ComPortPtyTest, NumberZeroAsksForThePort) {
    PtyEnd far(home, 7);
    ScriptedPrompt prompt;
    services.prompt = &prompt;
    auto port = std::make_unique<TApdComPort>(services, 1);
    const std::string notSet = "The ComNumber property of the TApdComPort has not been set";

    prompt.answer = std::nullopt;  // Cancel or the close box
    EXPECT_EQ(failureOf<ENoPortSelected>([&] { port->SetOpen(true); }), notSet);
    EXPECT_EQ(prompt.asked, 1);

    prompt.answer = std::string();  // OK on an empty list
    EXPECT_EQ(failureOf<EConvertError>([&] { port->SetOpen(true); }),
              "'' is not a valid integer value");
    EXPECT_FALSE(port->Open());

    port->PromptForPort = false;
    EXPECT_EQ(failureOf<ENoPortSelected>([&] { port->SetOpen(true); }), notSet);
    EXPECT_EQ(prompt.asked, 2);

    port->PromptForPort = true;
    prompt.answer = std::string("COM7");
    port->SetOpen(true);
    EXPECT_TRUE(port->Open());
    EXPECT_EQ(port->ComNumber(), 7);
    port->SetOpen(false);
    EXPECT_EQ(port->ComNumber(), 7);  // kept after the close
    port->SetOpen(true);
    EXPECT_EQ(prompt.asked, 3);  // not asked again

    // Without any dialog to show, number 0 cannot be opened.
    services.prompt = nullptr;
    auto bare = std::make_unique<TApdComPort>(services, 2);
    EXPECT_THROW(bare->SetOpen(true), ENoPortSelected);
}

TEST_F(ComPortPtyTest, OutputReachesThePeerInOrderAndAFullBufferRefusesMore) {
    PtyEnd far(home, 4);
    auto port = makePort(4);
    port->SetOpen(true);
    const std::string line = "5012 18 E13001003   \x14";
    for (char c : line) {
        port->PutChar(static_cast<std::uint8_t>(c));
    }
    const auto got = far.read(line.size(), 3000);
    EXPECT_EQ(std::string(got.begin(), got.end()), line);
    EXPECT_TRUE(pumpUntil([&] { return port->OutBuffFree() == 42; }, 1000ms));

    // The far end stops reading: once the pty is full, the writer holds its block and the
    // output buffer fills; every byte taken must still arrive, in order, once it reads again.
    std::vector<std::uint8_t> sent;
    std::string refusal;
    auto lastAccepted = Clock::now();
    for (std::uint32_t i = 0; msSince(lastAccepted) < 500 && sent.size() < 4'000'000; ++i) {
        const auto byte = static_cast<std::uint8_t>((i * 7 + i / 251) & 0xFF);
        try {
            port->PutChar(byte);
            sent.push_back(byte);
            lastAccepted = Clock::now();
        } catch (const EOutputBufferTooSmall& e) {
            refusal = e.what();
            std::this_thread::sleep_for(2ms);
            --i;  // offer the same byte again
        }
    }
    EXPECT_EQ(refusal, "Output buffer too small for block");
    EXPECT_EQ(port->OutBuffFree(), 0);
    EXPECT_THROW(port->PutChar(0), EOutputBufferTooSmall);

    const auto received = far.read(sent.size(), 20000);
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    EXPECT_TRUE(pumpUntil([&] { return port->OutBuffFree() == 42; }, 1000ms));
}

TEST_F(ComPortPtyTest, OutputStaysInOrderWhileTheFarEndReadsAsItPleases) {
    // The main thread's own writes and the port thread's take turns as the pty fills and drains.
    PtyEnd far(home, 6);
    auto port = makePort(6);
    port->SetOpen(true);
    std::vector<std::uint8_t> sent;
    for (std::uint32_t i = 0; i < 200'000; ++i) {
        sent.push_back(static_cast<std::uint8_t>((i * 13 + i / 256) & 0xFF));
    }
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        while (received.size() < sent.size()) {
            const auto got =
                far.read(std::min<std::size_t>(3000, sent.size() - received.size()), 5000);
            if (got.empty()) {
                return;
            }
            received.insert(received.end(), got.begin(), got.end());
            std::this_thread::sleep_for(std::chrono::microseconds(received.size() % 700));
        }
    });
    for (std::size_t i = 0; i < sent.size();) {
        try {
            port->PutChar(sent[i]);
            ++i;
        } catch (const EOutputBufferTooSmall&) {
            std::this_thread::yield();
        }
    }
    reader.join();
    ASSERT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);

    // A line put inside a posted call leaves once the call has returned.
    const std::string line = "5012 18 E13001003   \x14";
    bool ran = false;
    std::thread endpoint([&] {
        handover.post([&] {
            for (char c : line) {
                port->PutChar(static_cast<std::uint8_t>(c));
            }
            ran = true;
        });
    });
    endpoint.join();
    EXPECT_TRUE(pumpUntil([&] { return ran; }));
    const auto got = far.read(line.size(), 3000);
    EXPECT_EQ(std::string(got.begin(), got.end()), line);
}

TEST_F(ComPortPtyTest, UnreadBytesWaitForTheNextEvent) {
    PtyEnd far(home, 1);
    auto port = makePort(1);
    Events events;
    events.attach(*port, 1);
    port->SetOpen(true);

    far.write({0x15, 0x06});
    ASSERT_TRUE(pumpUntil([&] { return events.counts.size() == 1; }));
    // Both bytes may come in one block or two; either way the first event sees the NAK first.
    handover.pumpFor(300ms);
    ASSERT_GE(events.counts.size(), 1u);
    EXPECT_EQ(events.read.front(), 0x15);
    if (events.counts.size() == 1) {
        EXPECT_EQ(events.counts[0], 2);
        // The unread 0x06 causes no event by itself; the next byte brings it.
        far.write({0x41});
        ASSERT_TRUE(pumpUntil([&] { return events.counts.size() == 2; }));
        EXPECT_EQ(events.counts[1], 2);
        EXPECT_EQ(events.read[1], 0x06);
    }
    handover.pumpFor(200ms);
    EXPECT_LE(events.counts.size(), 2u);
}

TEST_F(ComPortPtyTest, BytesBeyondTheReceiveBufferAreHeldBackNotLost) {
    PtyEnd far(home, 6);
    auto port = makePort(6);
    int events = 0;
    port->OnTriggerAvail = [&](TApdComPort&, std::uint16_t) { ++events; };  // reads nothing
    port->SetOpen(true);
    std::vector<std::uint8_t> sent(30000);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<std::uint8_t>(i % 253);
    }
    std::thread writer([&] { far.write(sent); });
    std::vector<std::uint8_t> got;
    const auto start = Clock::now();
    while (got.size() < sent.size() && msSince(start) < 20000) {
        handover.pumpFor(5ms);
        try {
            for (;;) {
                got.push_back(port->GetChar());
            }
        } catch (const EBufferIsEmpty&) {
        }
    }
    writer.join();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_GE(events, 1);
}

TEST_F(ComPortPtyTest, FiveTickTriggerFiresOnceAfterItsTime) {
    PtyEnd far(home, 2);
    auto port = makePort(2);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    const auto handle = port->AddTimerTrigger();
    EXPECT_EQ(handle, 8);
    EXPECT_EQ(port->AddTimerTrigger(), 16);
    port->SetTimerTrigger(handle, 5, false);  // prepared, not armed
    handover.pumpFor(400ms);
    EXPECT_TRUE(events.timers.empty());

    const auto armed = Clock::now();
    port->SetTimerTrigger(handle, 5, true);
    ASSERT_TRUE(pumpUntil([&] { return !events.timers.empty(); }, 2000ms));
    const auto after =
        std::chrono::duration_cast<std::chrono::milliseconds>(events.timerAt[0] - armed).count();
    EXPECT_GE(after, 275);
    EXPECT_LE(after, 600);  // 330 ms on an idle machine; the margin is for a busy one
    EXPECT_EQ(events.timers[0], handle);
    handover.pumpFor(500ms);
    EXPECT_EQ(events.timers.size(), 1u);

    EXPECT_EQ(failureOf<EBadTriggerHandle>([&] { port->SetTimerTrigger(24, 5, true); }),
              "Bad trigger handle");
}

TEST_F(ComPortPtyTest, RearmingRestartsDisarmingCancelsAndZeroTicksKeepsTheLength) {
    PtyEnd far(home, 2);
    auto port = makePort(2);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    const auto handle = port->AddTimerTrigger();

    // Armed again 200 ms later: one event, timed from the second arming.
    port->SetTimerTrigger(handle, 5, true);
    handover.pumpFor(200ms);
    const auto second = Clock::now();
    port->SetTimerTrigger(handle, 5, true);
    ASSERT_TRUE(pumpUntil([&] { return !events.timers.empty(); }, 2000ms));
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::milliseconds>(events.timerAt[0] - second).count(),
        275);
    handover.pumpFor(500ms);
    EXPECT_EQ(events.timers.size(), 1u);

    // Disarmed before its deadline: nothing.
    port->SetTimerTrigger(handle, 5, true);
    handover.pumpFor(100ms);
    port->SetTimerTrigger(handle, 5, false);
    handover.pumpFor(600ms);
    EXPECT_EQ(events.timers.size(), 1u);

    // Armed with 0 ticks: the 5 ticks stand.
    const auto zero = Clock::now();
    port->SetTimerTrigger(handle, 0, true);
    ASSERT_TRUE(pumpUntil([&] { return events.timers.size() == 2; }, 2000ms));
    EXPECT_GE(
        std::chrono::duration_cast<std::chrono::milliseconds>(events.timerAt[1] - zero).count(),
        275);
}

TEST_F(ComPortPtyTest, TriggersSurviveACloseAndReopen) {
    PtyEnd far(home, 9);
    auto port = makePort(9);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    EXPECT_EQ(port->AddTimerTrigger(), 8);
    port->SetTimerTrigger(8, 5, false);

    port->SetOpen(false);
    port->SetOpen(true);
    EXPECT_EQ(events.opens, 2);
    EXPECT_EQ(port->AddTimerTrigger(), 8);  // the counter starts again; the old 8 stands first
    port->SetTimerTrigger(8, 0, true);      // arms the restored trigger with its 5 ticks
    ASSERT_TRUE(pumpUntil([&] { return !events.timers.empty(); }, 2000ms));
    handover.pumpFor(500ms);
    ASSERT_EQ(events.timers.size(), 1u);  // the newly added 8 stays disarmed
    EXPECT_EQ(events.timers[0], 8);

    // Armed when closed: its deadline passes while the port is closed, and it fires on reopen.
    port->SetTimerTrigger(8, 1, true);
    port->SetOpen(false);
    std::this_thread::sleep_for(200ms);
    handover.pumpFor(50ms);
    EXPECT_EQ(events.timers.size(), 1u);
    port->SetOpen(true);
    ASSERT_TRUE(pumpUntil([&] { return events.timers.size() == 2; }, 1000ms));
    EXPECT_EQ(events.timers[1], 8);
}

TEST_F(ComPortPtyTest, FailureInAHandlerIsReportedAndThePortGoesOn) {
    PtyEnd far(home, 3);
    auto port = makePort(3);
    std::vector<std::uint8_t> read;
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t) {
        const std::uint8_t byte = p.GetChar();
        read.push_back(byte);
        if (byte == 'X') {
            throw std::runtime_error("handler broke");
        }
    };
    int timers = 0;
    port->OnTriggerTimer = [&](TApdComPort&, std::uint16_t) {
        ++timers;
        throw std::runtime_error("timer handler broke");
    };
    port->SetOpen(true);
    far.write({'X'});
    ASSERT_TRUE(pumpUntil([&] { return errors.messages.size() == 1; }));
    EXPECT_EQ(errors.messages[0], "handler broke");

    // The X counts as consumed: the next event starts with the next byte.
    far.write({'Y'});
    ASSERT_TRUE(pumpUntil([&] { return read.size() == 2; }));
    EXPECT_EQ(read[1], 'Y');

    const auto h = port->AddTimerTrigger();
    port->SetTimerTrigger(h, 1, true);
    ASSERT_TRUE(pumpUntil([&] { return errors.messages.size() == 2; }));
    EXPECT_EQ(errors.messages[1], "timer handler broke");
    handover.pumpFor(300ms);
    EXPECT_EQ(timers, 1);
    port->SetTimerTrigger(h, 1, true);
    EXPECT_TRUE(pumpUntil([&] { return timers == 2; }));
}

TEST_F(ComPortPtyTest, PeerGoneIsReportedOnceThenTheTriggerStillFiresAndReopenRecovers) {
    PtyEnd far(home, 5);
    auto port = makePort(5);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    const auto h = port->AddTimerTrigger();
    port->PutChar('a');
    EXPECT_EQ(far.read(1, 2000).size(), 1u);

    port->SetTimerTrigger(h, 5, true);  // an event waits for its acknowledgement
    far.hangUp();
    ASSERT_TRUE(pumpUntil([&] { return !events.errors.empty(); }));
    EXPECT_EQ(events.errors[0], "COM5: device lost (hang-up)");
    EXPECT_EQ(failureOf<ECommNotOpen>([&] { port->PutChar('b'); }), "ie_NOpen - device not open");
    EXPECT_EQ(port->OutBuffFree(), 42);
    ASSERT_TRUE(pumpUntil([&] { return events.timers.size() == 1; }, 2000ms));
    handover.pumpFor(300ms);
    EXPECT_EQ(events.errors.size(), 1u);
    EXPECT_TRUE(port->Open());

    // The channel recovers by closing and opening again once the far end is back.
    port->SetOpen(false);
    EXPECT_THROW(port->SetOpen(true), EBadId);  // the old pty is gone
    far.open(home, 5);
    port->SetOpen(true);
    port->PutChar('c');
    EXPECT_EQ(far.read(1, 2000), std::vector<std::uint8_t>{'c'});
    far.write({0x06});
    ASSERT_TRUE(pumpUntil([&] { return events.read.size() == 1; }));
    EXPECT_EQ(events.read[0], 0x06);
}

TEST_F(ComPortPtyTest, FarEndThatDoesNotReadIsNoFailure) {
    PtyEnd far(home, 5);
    auto port = makePort(5);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    for (int i = 0; i < 21; ++i) {
        port->PutChar('x');
    }
    handover.pumpFor(300ms);
    EXPECT_TRUE(events.errors.empty());
    EXPECT_EQ(far.read(21, 2000).size(), 21u);
}

TEST_F(ComPortPtyTest, ClosingWhileAnEventWaitsForTheMainThreadDoesNotHang) {
    PtyEnd far(home, 8);
    auto port = makePort(8);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    const auto h = port->AddTimerTrigger();
    port->SetTimerTrigger(h, 1, true);
    far.write({0x06});
    std::this_thread::sleep_for(300ms);  // the event now waits for the main thread

    const auto start = Clock::now();
    port->SetOpen(false);
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(port->State(), PortState::psClosed);
    handover.pumpFor(200ms);
    EXPECT_TRUE(events.counts.empty());  // dropped: closing discards unread input anyway
}

TEST_F(ComPortPtyTest, ClosingInsideItsOwnHandlerEndsAfterTheHandler) {
    PtyEnd far(home, 8);
    auto port = makePort(8);
    PortState during = PortState::psOpen;
    bool openDuring = false;
    std::uint8_t got = 0xFF;
    int calls = 0;
    port->OnTriggerAvail = [&](TApdComPort& p, std::uint16_t) {
        ++calls;
        p.SetOpen(false);
        during = p.State();
        openDuring = p.Open();
        got = p.GetChar();  // 0 while shutting down
        p.PutChar('z');     // does nothing
        EXPECT_EQ(p.AddTimerTrigger(), 0);
        p.SetTimerTrigger(8, 5, true);  // does nothing, even with a handle never added
        EXPECT_EQ(p.OutBuffFree(), 42);
    };
    port->SetOpen(true);
    far.write({0x06});
    ASSERT_TRUE(pumpUntil([&] { return calls == 1; }));
    EXPECT_EQ(during, PortState::psShuttingDown);
    EXPECT_TRUE(openDuring);
    EXPECT_EQ(got, 0);
    ASSERT_TRUE(pumpUntil([&] { return port->State() == PortState::psClosed; }, 1000ms));
    EXPECT_FALSE(port->Open());
    EXPECT_TRUE(far.read(1, 200).empty());

    // And it opens again.
    port->OnTriggerAvail = nullptr;
    port->SetOpen(true);
    EXPECT_EQ(port->State(), PortState::psOpen);
}

TEST_F(ComPortPtyTest, EventsNotTakenInTimeAreDeliveredLater) {
    PtyEnd far(home, 4);
    auto port = makePort(4);
    Events events;
    events.attach(*port);
    port->SetOpen(true);
    const auto h = port->AddTimerTrigger();
    far.write({0x06});
    std::this_thread::sleep_for(100ms);
    port->SetTimerTrigger(h, 1, true);
    // The main thread stays busy past the hand-over limit of 3000 ms.
    std::this_thread::sleep_for(3500ms);
    ASSERT_TRUE(
        pumpUntil([&] { return events.counts.size() == 1 && events.timers.size() == 1; }, 4000ms));
    EXPECT_EQ(events.counts[0], 1);
    EXPECT_EQ(events.read[0], 0x06);
    EXPECT_EQ(events.timers[0], h);
    handover.pumpFor(300ms);
    EXPECT_EQ(events.counts.size(), 1u);
    EXPECT_EQ(events.timers.size(), 1u);
}

}  // namespace
}  // namespace lan2com
