#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "net/udp_server.h"
#include "test_socket.h"

namespace lan2com {
namespace {

using namespace std::chrono_literals;
using testing::bytesOf;
using testing::sourceAddressOf;
using testing::TestSocket;

struct Event {
    std::vector<std::uint8_t> data;
    std::string peerIp;
    std::uint16_t peerPort = 0;
};

class UdpServerTest : public ::testing::Test {
  protected:
    // The test's thread is the main thread: handlers run here while the test pumps.
    QueueHandover handover;

    // An endpoint on a port of the system's choosing that logs every event.
    std::unique_ptr<TIdUDPServer> endpoint(std::vector<Event>& log) {
        auto server = std::make_unique<TIdUDPServer>(handover, 0);
        server->OnUDPRead = [&log](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                                   TIdSocketHandle& binding) {
            log.push_back({data, binding.PeerIP, binding.PeerPort});
        };
        server->Binding();
        return server;
    }

    bool pumpUntilCount(const std::vector<Event>& log, std::size_t count) {
        return handover.pumpUntil([&] { return log.size() >= count; }, 3000ms);
    }
};

// ---- Size limit ----

TEST_F(UdpServerTest, DeliversUpToSixteenBytesWholeAndDropsLongerOnesWhole) {
    std::vector<Event> log;
    auto server = endpoint(log);
    const std::uint16_t port = server->Binding().Port;
    TestSocket sender;

    sender.sendTo("127.0.0.1", port, bytesOf("1234567890123456"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(log[0].data, bytesOf("1234567890123456"));

    sender.sendTo("127.0.0.1", port, bytesOf("12345678901234567"));  // 17 bytes
    sender.sendTo("127.0.0.1", port, std::vector<std::uint8_t>(1000, '7'));
    sender.sendTo("127.0.0.1", port, bytesOf("ABCDEF"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
    EXPECT_EQ(log[1].data, bytesOf("ABCDEF"));
    handover.pumpFor(100ms);
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(server->Active());
}

TEST_F(UdpServerTest, EmptyDatagramIsAnEventWithAnEmptyArray) {
    std::vector<Event> log;
    auto server = endpoint(log);
    TestSocket sender;
    sender.sendTo("127.0.0.1", server->Binding().Port, {});
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_TRUE(log[0].data.empty());
    EXPECT_EQ(log[0].peerPort, sender.port());
}

TEST_F(UdpServerTest, SmallerBufferSizeDropsWhatDoesNotFit) {
    std::vector<Event> log;
    TIdUDPServer server(handover, 0);
    server.BufferSize = 4;
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
    };
    const std::uint16_t port = server.Binding().Port;
    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("12345"));
    sender.sendTo("127.0.0.1", port, bytesOf("1234"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(log[0].data, bytesOf("1234"));
}

// ---- Peer, reply and the wildcard address ----

TEST_F(UdpServerTest, ReplyGoesToTheSenderFromTheChannelPort) {
    TIdUDPServer server(handover, 0);
    std::vector<Event> log;
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle& binding) {
        log.push_back({data, binding.PeerIP, binding.PeerPort});
        server.Send(binding.PeerIP, binding.PeerPort, "OK");
    };
    const std::uint16_t port = server.Binding().Port;
    TestSocket transceiver("127.0.0.2");
    transceiver.sendTo("127.0.0.1", port, bytesOf("5432181131000025"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(log[0].peerIp, sourceAddressOf("127.0.0.2"));
    EXPECT_EQ(log[0].peerPort, transceiver.port());
    EXPECT_EQ(server.Binding().PeerIP, sourceAddressOf("127.0.0.2"));
    EXPECT_EQ(server.Binding().PeerPort, transceiver.port());

    const auto reply = transceiver.receive(2000ms);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->bytes, (std::vector<std::uint8_t>{0x4F, 0x4B}));
    EXPECT_EQ(reply->fromPort, port);
}

TEST_F(UdpServerTest, PeerFollowsEachDatagramsSource) {
    std::vector<Event> log;
    auto server = endpoint(log);
    const std::uint16_t port = server->Binding().Port;
    TestSocket a("127.0.0.2");
    TestSocket b("127.0.0.3");
    a.sendTo("127.0.0.1", port, bytesOf("a"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    b.sendTo("127.0.0.1", port, bytesOf("b"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
    EXPECT_EQ(log[0].peerIp, sourceAddressOf("127.0.0.2"));
    EXPECT_EQ(log[0].peerPort, a.port());
    EXPECT_EQ(log[1].peerIp, sourceAddressOf("127.0.0.3"));
    EXPECT_EQ(log[1].peerPort, b.port());
}

TEST_F(UdpServerTest, RecordedAddressDoesNotRestrictReception) {
    std::vector<Event> log;
    auto server = endpoint(log);
    const std::uint16_t port = server->Binding().Port;
    server->Binding().IP = "192.0.2.77";  // recorded only; the socket stays on every address
    server->Binding().Port = port;
    server->SetActive(true);  // active already: nothing happens
    TestSocket sender;
    sender.sendTo("127.0.0.3", port, bytesOf("x"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(server->Binding().IP, "192.0.2.77");
    EXPECT_EQ(server->Bindings().size(), 1u);
}

TEST_F(UdpServerTest, SendRefusesWhatItCannotDo) {
    TIdUDPServer server(handover, 0);
    EXPECT_THROW(server.Send("127.0.0.1", 9, "OK"), EIdSocketError);  // inactive: no socket
    server.Binding();
    EXPECT_THROW(server.Send("localhost", 9, "OK"), EIdSocketError);
    EXPECT_THROW(server.Send("127.0.0", 9, "OK"), EIdSocketError);
    EXPECT_THROW(server.Send("", 9, "OK"), EIdSocketError);
    TestSocket peer;
    EXPECT_NO_THROW(server.Send("127.0.0.1", peer.port(), "OK"));
    const auto got = peer.receive(2000ms);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->bytes, bytesOf("OK"));
}

TEST_F(UdpServerTest, AReplyToASenderThatHasGoneDoesNotStopReception) {
    // The loopback answers such a reply with "port unreachable", which Windows would otherwise
    // report on the endpoint's next receive as a reset connection.
    std::vector<Event> log;
    auto server = endpoint(log);
    const std::uint16_t port = server->Binding().Port;
    std::uint16_t gone = 0;
    {
        TestSocket sender;
        gone = sender.port();
        sender.sendTo("127.0.0.1", port, bytesOf("1"));
        ASSERT_TRUE(pumpUntilCount(log, 1));
    }
    server->Send("127.0.0.1", gone, "OK");
    server->Send("127.0.0.1", gone, "OK");
    TestSocket next;
    next.sendTo("127.0.0.1", port, bytesOf("2"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
    EXPECT_EQ(log[1].data, bytesOf("2"));
    EXPECT_TRUE(server->Active());
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

// ---- Binding ----

TEST_F(UdpServerTest, SecondEndpointOnTheSamePortFailsAndStaysClosed) {
    std::vector<Event> log;
    auto first = endpoint(log);
    const std::uint16_t port = first->Binding().Port;

    const int before = testing::openDescriptors();
    TIdUDPServer second(handover, port);
    try {
        second.Binding();
        FAIL() << "the second bind succeeded";
    } catch (const EIdCouldNotBindSocket& e) {
        EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
    }
    EXPECT_FALSE(second.Active());
    EXPECT_TRUE(second.Bindings().empty());
    EXPECT_EQ(testing::openDescriptors(), before);  // nothing left open (-1 == -1 off Linux)
    EXPECT_THROW(second.SetActive(true), EIdCouldNotBindSocket);
    EXPECT_FALSE(second.Active());

    // Nor can any other socket take the port, on any address.
    EXPECT_FALSE(TestSocket::canBind("0.0.0.0", port));
    EXPECT_FALSE(TestSocket::canBind("127.0.0.1", port));

    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("still here"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(log[0].data, bytesOf("still here"));

    first->SetActive(false);
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));
    EXPECT_NO_THROW(second.Binding());
    EXPECT_TRUE(second.Active());
}

TEST_F(UdpServerTest, ConfiguredPortIsBoundAtItsLow16Bits) {
    // 75539 is port 10003; where 10003 is taken here, another number above 65535 whose low bits
    // are free.
    std::uint32_t configured = 75539;
    if (!TestSocket::canBind("0.0.0.0", static_cast<std::uint16_t>(configured % 65536))) {
        configured = 65536u + TestSocket::freePort();
    }
    const auto low = static_cast<std::uint16_t>(configured % 65536);

    std::vector<Event> log;
    TIdUDPServer server(handover, 1);
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
    };
    server.SetActive(false);
    server.ClearBindings();
    server.DefaultPort = static_cast<std::uint16_t>(configured & 0xFFFF);
    TIdSocketHandle& binding = server.Binding();
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(binding.Port, low);
    EXPECT_EQ(binding.IP, "");
    EXPECT_FALSE(TestSocket::canBind("0.0.0.0", low));
    if (configured == 75539) {
        EXPECT_EQ(binding.Port, 10003);
    }

    TestSocket sender;
    sender.sendTo("127.0.0.1", low, bytesOf("1"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
}

TEST_F(UdpServerTest, SettingActiveTwiceDoesNothing) {
    std::vector<Event> log;
    TIdUDPServer server(handover, 0);
    server.SetActive(false);  // inactive already
    EXPECT_FALSE(server.Active());
    EXPECT_TRUE(server.Bindings().empty());

    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
    };
    server.SetActive(true);
    ASSERT_TRUE(server.Active());
    ASSERT_EQ(server.Bindings().size(), 1u);
    const std::uint16_t port = server.Binding().Port;
    server.SetActive(true);
    EXPECT_EQ(server.Bindings().size(), 1u);
    EXPECT_EQ(server.Binding().Port, port);

    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("once"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    handover.pumpFor(50ms);
    EXPECT_EQ(log.size(), 1u);  // one listener, one event
}

// ---- One datagram at a time, in order ----

TEST_F(UdpServerTest, DeferredCompletionHoldsBackTheNextDatagramButNotOtherEndpoints) {
    std::vector<Event> log;
    std::vector<std::shared_ptr<DatagramCompletion>> pending;
    int inside = 0;
    bool overlapped = false;
    TIdUDPServer a(handover, 0);
    a.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                      TIdSocketHandle& binding) {
        overlapped = overlapped || inside > 0 || (!pending.empty() && !pending.back()->finished());
        ++inside;
        log.push_back({data, binding.PeerIP, binding.PeerPort});
        pending.push_back(a.DeferCompletion());
        EXPECT_EQ(a.DeferCompletion(), pending.back());  // the same datagram, the same completion
        --inside;
    };
    std::vector<Event> other;
    auto b = endpoint(other);
    const std::uint16_t portA = a.Binding().Port;

    TestSocket sender;
    for (int i = 1; i <= 5; ++i) {
        sender.sendTo("127.0.0.1", portA, bytesOf(std::to_string(i)));
    }
    ASSERT_TRUE(pumpUntilCount(log, 1));
    handover.pumpFor(150ms);
    EXPECT_EQ(log.size(), 1u) << "a second datagram came while the first was pending";

    sender.sendTo("127.0.0.1", b->Binding().Port, bytesOf("b"));
    ASSERT_TRUE(pumpUntilCount(other, 1));  // the other endpoint is not held back
    EXPECT_EQ(log.size(), 1u);

    for (std::size_t n = 2; n <= 5; ++n) {
        EXPECT_FALSE(pending.back()->finished());
        pending.back()->finish();
        pending.back()->finish();  // idempotent
        EXPECT_TRUE(pending.back()->finished());
        ASSERT_TRUE(pumpUntilCount(log, n));
    }
    pending.back()->finish();
    handover.pumpFor(50ms);
    ASSERT_EQ(log.size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(log[i].data, bytesOf(std::to_string(i + 1)));
    }
    EXPECT_FALSE(overlapped);
}

TEST_F(UdpServerTest, HandlerThatDoesNotDeferReleasesTheNextDatagramAtOnce) {
    std::vector<Event> log;
    auto server = endpoint(log);
    TestSocket sender;
    for (int i = 0; i < 50; ++i) {
        sender.sendTo("127.0.0.1", server->Binding().Port, bytesOf(std::to_string(i)));
    }
    ASSERT_TRUE(pumpUntilCount(log, 50));
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(log[static_cast<std::size_t>(i)].data, bytesOf(std::to_string(i)));
    }
}

TEST_F(UdpServerTest, DroppedCompletionReleasesTheListener) {
    std::vector<Event> log;
    TIdUDPServer server(handover, 0);
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
        server.DeferCompletion();  // result thrown away: nobody could ever finish it
    };
    TestSocket sender;
    sender.sendTo("127.0.0.1", server.Binding().Port, bytesOf("1"));
    sender.sendTo("127.0.0.1", server.Binding().Port, bytesOf("2"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
}

TEST_F(UdpServerTest, DeferCompletionOutsideTheHandlerIsRefused) {
    TIdUDPServer server(handover, 0);
    EXPECT_THROW(server.DeferCompletion(), std::logic_error);
    server.Binding();
    EXPECT_THROW(server.DeferCompletion(), std::logic_error);
}

// ---- Failures inside the handler ----

TEST_F(UdpServerTest, FailureInTheHandlerIsDroppedAndTheNextDatagramDelivered) {
    std::vector<Event> log;
    int calls = 0;
    std::shared_ptr<DatagramCompletion> held;
    TIdUDPServer server(handover, 0);
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        ++calls;
        if (data == bytesOf("std")) {
            throw std::runtime_error("handler failed");
        }
        if (data == bytesOf("int")) {
            throw 42;
        }
        if (data == bytesOf("deferred")) {
            held = server.DeferCompletion();  // kept, never finished: the failure must still end
                                              // the datagram
            throw std::runtime_error("after deferring");
        }
        log.push_back({data, "", 0});
    };
    const std::uint16_t port = server.Binding().Port;
    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("std"));
    sender.sendTo("127.0.0.1", port, bytesOf("int"));
    sender.sendTo("127.0.0.1", port, bytesOf("deferred"));
    sender.sendTo("127.0.0.1", port, bytesOf("next"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_EQ(calls, 4);
    EXPECT_EQ(log[0].data, bytesOf("next"));
    EXPECT_TRUE(server.Active());
}

// ---- Deactivation ----

TEST_F(UdpServerTest, DeactivationWhileADatagramIsPendingIsPromptAndThePortCanBeBoundAgain) {
    std::vector<Event> log;
    std::shared_ptr<DatagramCompletion> pending;
    TIdUDPServer server(handover, 0);
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
        pending = server.DeferCompletion();
    };
    const std::uint16_t port = server.Binding().Port;
    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("1"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    sender.sendTo("127.0.0.1", port, bytesOf("lost"));  // waits in the queue of the old socket

    const auto start = std::chrono::steady_clock::now();
    server.SetActive(false);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, 1000ms);  // the listener is woken, not polled; a generous margin
    EXPECT_FALSE(server.Active());
    ASSERT_TRUE(pending);
    EXPECT_TRUE(pending->finished());
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));

    server.ClearBindings();
    server.DefaultPort = port;
    EXPECT_EQ(server.Binding().Port, port);
    sender.sendTo("127.0.0.1", port, bytesOf("2"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
    EXPECT_EQ(log[1].data, bytesOf("2"));
    pending->finish();
}

TEST_F(UdpServerTest, DatagramWhoseHandOverIsCancelledIsDropped) {
    std::vector<Event> log;
    auto server = endpoint(log);
    TestSocket sender;
    sender.sendTo("127.0.0.1", server->Binding().Port, bytesOf("never"));
    std::this_thread::sleep_for(200ms);  // handed over, but the main thread does not pump
    const auto start = std::chrono::steady_clock::now();
    server->SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    handover.pumpFor(100ms);
    EXPECT_TRUE(log.empty());
}

TEST_F(UdpServerTest, DeactivationInsideTheOwnHandlerNeitherBlocksNorLosesTheBinding) {
    // What a re-applied configuration does when it runs within a handler: stop, clear, rebind
    // the same port, all before the handler returns.
    std::vector<Event> log;
    TIdUDPServer server(handover, 0);
    std::uint16_t port = 0;
    bool restarted = false;
    std::string peerAfterClear;
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle& binding) {
        log.push_back({data, binding.PeerIP, binding.PeerPort});
        if (!restarted) {
            restarted = true;
            auto completion = server.DeferCompletion();
            server.SetActive(false);
            EXPECT_FALSE(server.Active());
            EXPECT_TRUE(completion->finished());
            server.ClearBindings();
            server.DefaultPort = port;
            server.Binding().IP = "";
            server.SetActive(true);
            peerAfterClear = binding.PeerIP;  // the delivering binding is still readable
        }
    };
    port = server.Binding().Port;
    TestSocket sender("127.0.0.2");
    sender.sendTo("127.0.0.1", port, bytesOf("1"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.Binding().Port, port);
    EXPECT_EQ(peerAfterClear, sourceAddressOf("127.0.0.2"));

    sender.sendTo("127.0.0.1", port, bytesOf("2"));
    ASSERT_TRUE(pumpUntilCount(log, 2));
    EXPECT_EQ(log[1].data, bytesOf("2"));

    server.SetActive(false);
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));
}

TEST_F(UdpServerTest, StopInsideTheOwnHandlerThenDestroyLater) {
    std::vector<Event> log;
    auto server = std::make_unique<TIdUDPServer>(handover, 0);
    server->OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                            TIdSocketHandle&) {
        log.push_back({data, "", 0});
        server->SetActive(false);
    };
    const std::uint16_t port = server->Binding().Port;
    TestSocket sender;
    sender.sendTo("127.0.0.1", port, bytesOf("1"));
    ASSERT_TRUE(pumpUntilCount(log, 1));
    EXPECT_FALSE(server->Active());
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));
    sender.sendTo("127.0.0.1", port, bytesOf("2"));
    handover.pumpFor(100ms);
    EXPECT_EQ(log.size(), 1u);
    server.reset();
}

TEST_F(UdpServerTest, EndpointDestroyedInsideItsOwnHandler) {
    // The listener never waits for the main thread, so it is joined inside the handler; the
    // handler goes on with the binding it was given.
    std::vector<Event> log;
    auto server = std::make_unique<TIdUDPServer>(handover, 0);
    server->OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                            TIdSocketHandle& binding) {
        log.push_back({data, "", 0});
        server.reset();
        log.push_back({data, binding.PeerIP, binding.PeerPort});  // the binding outlives it
    };
    const std::uint16_t port = server->Binding().Port;
    TestSocket sender("127.0.0.3");
    sender.sendTo("127.0.0.1", port, bytesOf("1"));
    ASSERT_TRUE(handover.pumpUntil([&] { return log.size() >= 2; }, 3000ms));
    EXPECT_EQ(log[1].peerIp, sourceAddressOf("127.0.0.3"));
    EXPECT_FALSE(server);
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));
}

TEST_F(UdpServerTest, DestructionWithADatagramPendingFinishesIt) {
    std::shared_ptr<DatagramCompletion> pending;
    std::uint16_t port = 0;
    {
        TIdUDPServer server(handover, 0);
        server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>&,
                               TIdSocketHandle&) { pending = server.DeferCompletion(); };
        port = server.Binding().Port;
        TestSocket sender;
        sender.sendTo("127.0.0.1", port, bytesOf("1"));
        ASSERT_TRUE(handover.pumpUntil([&] { return pending != nullptr; }, 3000ms));
    }
    EXPECT_TRUE(pending->finished());
    pending->finish();  // harmless after the endpoint is gone
    EXPECT_TRUE(TestSocket::canBind("0.0.0.0", port));
}

TEST_F(UdpServerTest, RepeatedActivationReleasesEverything) {
    std::vector<Event> log;
    TIdUDPServer server(handover, 0);
    server.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                           TIdSocketHandle&) {
        log.push_back({data, "", 0});
    };
    const std::uint16_t port = server.Binding().Port;
    server.SetActive(false);
    const int before = testing::openDescriptors();
    TestSocket sender;
    const int senderFds = testing::openDescriptors() - before;
    for (std::size_t i = 1; i <= 20; ++i) {
        server.SetActive(false);
        server.ClearBindings();
        server.DefaultPort = port;
        server.Binding();
        sender.sendTo("127.0.0.1", port, bytesOf(std::to_string(i)));
        ASSERT_TRUE(pumpUntilCount(log, i));
    }
    server.SetActive(false);
    EXPECT_EQ(testing::openDescriptors() - senderFds, before);
}

}  // namespace
}  // namespace lan2com
