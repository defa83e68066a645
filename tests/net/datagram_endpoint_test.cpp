#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "net/datagram_endpoint.h"
#include "platform/wait_set.h"
#include "test_socket.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using testing::bytesOf;
using testing::sourceAddressOf;
using testing::TestSocket;
using Clock = std::chrono::steady_clock;

// What an endpoint received, waiting for it as the station loop does.
std::vector<Datagram> receiveFor(DatagramEndpoint& endpoint, std::size_t count,
                                 std::chrono::milliseconds time = 2000ms, std::size_t budget = 64) {
    std::vector<Datagram> got;
    WaitSet set;
    const auto deadline = Clock::now() + time;
    while (got.size() < count && Clock::now() < deadline) {
        set.clear();
        endpoint.addWaits(set);
        set.wait(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
        endpoint.receive(budget, [&](const Datagram& d) { got.push_back(d); });
    }
    return got;
}

TEST(DatagramEndpoint, TakesUpToSixteenBytesWholeInOrderAndDropsLongerOnesWhole) {
    DatagramEndpoint endpoint;
    endpoint.open(0);
    ASSERT_NE(endpoint.port(), 0);
    TestSocket sender;
    const std::vector<std::string> sent = {"5432181131000025",    "54321811310000251", "", "12345",
                                           std::string(300, 'x'), "0123456789ABCDE"};
    for (const std::string& text : sent) {
        sender.sendTo("127.0.0.1", endpoint.port(), bytesOf(text));
    }
    const auto got = receiveFor(endpoint, 4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].bytes, bytesOf("5432181131000025"));
    EXPECT_TRUE(got[1].bytes.empty());
    EXPECT_EQ(got[2].bytes, bytesOf("12345"));
    EXPECT_EQ(got[3].bytes, bytesOf("0123456789ABCDE"));
    EXPECT_TRUE(receiveFor(endpoint, 1, 100ms).empty());
}

TEST(DatagramEndpoint, EachDatagramNamesItsSourceAndTheReplyLeavesFromTheChannelPort) {
    DatagramEndpoint endpoint;
    endpoint.open(0);
    TestSocket a("127.0.0.2");
    TestSocket b("127.0.0.3");
    a.sendTo("127.0.0.1", endpoint.port(), bytesOf("a"));
    ASSERT_EQ(receiveFor(endpoint, 1).size(), 1u);  // one after the other: their order is known
    b.sendTo("127.0.0.1", endpoint.port(), bytesOf("b"));
    const auto second = receiveFor(endpoint, 1);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].peerAddress, sourceAddressOf("127.0.0.3"));
    EXPECT_EQ(second[0].peerPort, b.port());

    endpoint.send(second[0].peerAddress, second[0].peerPort, "OK");
    const auto reply = b.receive(2000ms);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, bytesOf("OK"));
    EXPECT_EQ(reply->fromPort, endpoint.port());
}

TEST(DatagramEndpoint, APortHeldElsewhereCannotBeBoundAndIsFreeAgainOnceClosed) {
    DatagramEndpoint first;
    first.open(0);
    const std::uint16_t port = first.port();
    DatagramEndpoint second;
    EXPECT_THROW(second.open(port), BindError);
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.port(), 0);
    first.close();
    EXPECT_NO_THROW(second.open(port));
    EXPECT_EQ(second.port(), port);
}

TEST(DatagramEndpoint, SendRefusesWhatItCannotDo) {
    DatagramEndpoint endpoint;
    EXPECT_THROW(endpoint.send("127.0.0.1", 9, "OK"), SocketError);  // not open
    endpoint.open(0);
    for (const char* host : {"localhost", "127.0.0", ""}) {
        EXPECT_THROW(endpoint.send(host, 9, "OK"), SocketError) << host;
    }
}

TEST(DatagramEndpoint, ABudgetCutsARoundShortAndTheRestWaitsForTheNext) {
    DatagramEndpoint endpoint;
    endpoint.open(0);
    TestSocket sender;
    for (int i = 0; i < 10; ++i) {
        sender.sendTo("127.0.0.1", endpoint.port(), bytesOf(std::to_string(i)));
    }
    std::this_thread::sleep_for(100ms);
    std::vector<std::string> got;
    auto take = [&](const Datagram& d) { got.emplace_back(d.bytes.begin(), d.bytes.end()); };
    EXPECT_EQ(endpoint.receive(4, take), 4u);
    // What was left unread still wakes the next wait at once.
    WaitSet set;
    endpoint.addWaits(set);
    const auto before = Clock::now();
    set.wait(2000ms);
    EXPECT_LT(Clock::now() - before, 1000ms);
    EXPECT_EQ(endpoint.receive(4, take), 4u);
    EXPECT_EQ(endpoint.receive(4, take), 2u);
    EXPECT_EQ(got, (std::vector<std::string>{"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"}));
}

TEST(DatagramEndpoint, AnEndpointForOneSourceNeverSeesAnotherWhereTheSystemCanFilter) {
    DatagramEndpoint endpoint;
    endpoint.open(0, std::string("127.0.0.2"));
#ifdef __linux__
    ASSERT_TRUE(endpoint.filtered());
    TestSocket stranger("127.0.0.3");
    TestSocket transceiver("127.0.0.2");
    for (int i = 0; i < 20; ++i) {
        stranger.sendTo("127.0.0.1", endpoint.port(), bytesOf("flood"));
    }
    transceiver.sendTo("127.0.0.1", endpoint.port(), bytesOf("event"));
    const auto got = receiveFor(endpoint, 2, 300ms);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, bytesOf("event"));
    EXPECT_EQ(got[0].peerAddress, "127.0.0.2");
#else
    EXPECT_FALSE(endpoint.filtered());  // the station loop compares the source itself
#endif
}

TEST(DatagramEndpoint, AReplyToASenderThatHasGoneDoesNotStopReception) {
    // The loopback answers such a reply with "port unreachable", which Windows would otherwise
    // report on the endpoint's next receive as a reset connection.
    DatagramEndpoint endpoint;
    endpoint.open(0);
    std::uint16_t gone = 0;
    {
        TestSocket sender;
        gone = sender.port();
        sender.sendTo("127.0.0.1", endpoint.port(), bytesOf("1"));
        ASSERT_EQ(receiveFor(endpoint, 1).size(), 1u);
    }
    endpoint.send("127.0.0.1", gone, "OK");
    endpoint.send("127.0.0.1", gone, "OK");
    TestSocket next;
    next.sendTo("127.0.0.1", endpoint.port(), bytesOf("2"));
    const auto got = receiveFor(endpoint, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes, bytesOf("2"));
}

TEST(AsciiBytes, OneByteACharacterAndAQuestionMarkAbove127) {
    EXPECT_EQ(asciiBytes("OK"), (std::vector<std::uint8_t>{0x4F, 0x4B}));
    EXPECT_TRUE(asciiBytes("").empty());
    // "ОК" in Cyrillic (two-byte sequences), the euro sign (three bytes), an emoji (four).
    EXPECT_EQ(asciiBytes("\xD0\x9E\xD0\x9A"), bytesOf("??"));
    EXPECT_EQ(asciiBytes("a\xE2\x82\xAC"
                         "b"),
              bytesOf("a?b"));
    EXPECT_EQ(asciiBytes("\xF0\x9F\x94\x94!"), bytesOf("?!"));
    // Bytes that are not UTF-8 (a code page 1251 "Й", a cut sequence) count one each.
    EXPECT_EQ(asciiBytes("\xC9Z"), bytesOf("?Z"));
    EXPECT_EQ(asciiBytes("Z\xD0"), bytesOf("Z?"));
    EXPECT_EQ(asciiBytes("\xE2\x82Z"), bytesOf("??Z"));
}

// ---- The loop's wait itself ----

TEST(WaitSet, EndsAtItsDeadlineOrWhenAnotherThreadWakesIt) {
    WaitSet set;
    auto before = Clock::now();
    set.wait(60ms);
    auto waited = Clock::now() - before;
    EXPECT_GE(waited, 50ms);
    EXPECT_FALSE(set.woken());

    std::thread waker([&set] {
        std::this_thread::sleep_for(50ms);
        set.wake();
    });
    before = Clock::now();
    set.wait(std::nullopt);  // no deadline: only the wake-up ends it
    waited = Clock::now() - before;
    waker.join();
    EXPECT_TRUE(set.woken());
    EXPECT_LT(waited, 5000ms);

    set.wake();  // raised before the wait: the wait returns at once
    before = Clock::now();
    set.wait(5000ms);
    EXPECT_LT(Clock::now() - before, 1000ms);
    EXPECT_TRUE(set.woken());
    set.clear();
    set.readyNow();
    before = Clock::now();
    set.wait(5000ms);
    EXPECT_LT(Clock::now() - before, 1000ms);
}

}  // namespace
}  // namespace lan2com
