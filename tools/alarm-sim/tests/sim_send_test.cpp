#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/datagram_endpoint.h"
#include "platform/wait_set.h"
#include "relay/conversion.h"
#include "sim_send.h"

namespace alarmsim {
namespace {

using namespace lan2com;

// A channel of the relay reduced to its conversion, on a thread of its own: takes the datagrams
// on a loopback port, converts events as channel 5 with "A->0" does, and answers each event with
// `replies` "OK"s. What it saw is read after stop().
class LoopbackChannel {
  public:
    explicit LoopbackChannel(int replies) : replies_(replies) {
        udp_.open(0);
        port_ = udp_.port();
        thread_ = std::thread([this] { serve(); });
    }
    ~LoopbackChannel() { stop(); }
    std::uint16_t port() const { return port_; }
    void stop() {
        if (thread_.joinable()) {
            stopping_.store(true);
            waits_.wake();
            thread_.join();
        }
    }

    std::vector<DatagramKind> kinds;
    std::vector<ReceiverLine> lines;
    std::uint16_t peerPort = 0;

  private:
    void serve() {
        while (!stopping_.load()) {
            waits_.clear();
            udp_.addWaits(waits_);
            waits_.wait(std::nullopt);
            udp_.receive(64, [this](const Datagram& d) { take(d); });
        }
    }
    void take(const Datagram& d) {
        kinds.push_back(classifyDatagram(d.bytes.data(), d.bytes.size()));
        peerPort = d.peerPort;
        if (kinds.back() != DatagramKind::Event) {
            return;
        }
        const std::string line = CId2SG(Data2CId(d.bytes.data(), d.bytes.size()), 5, 0);
        lines.push_back(decodeLine({line.begin(), line.end()}));
        for (int i = 0; i < replies_; ++i) {
            udp_.send(d.peerAddress, d.peerPort, "OK");
        }
    }

    const int replies_;
    DatagramEndpoint udp_;
    std::uint16_t port_ = 0;
    WaitSet waits_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

SendOptions eventsTo(std::uint16_t port, std::uint64_t count) {
    SendOptions o;
    o.host = "127.0.0.1";
    o.port = port;
    o.fields = {"1234", "1", "130", "01", "005", 7};
    o.count = count;
    o.timeoutMs = 300;
    return o;
}

TEST(AlarmSimSend, EventsAreConvertedAndAnsweredOverLoopback) {
    LoopbackChannel channel(1);
    SendOptions o = eventsTo(channel.port(), 3);
    o.sequence = true;
    std::ostringstream out;
    const SendSummary s = runSend(o, out);
    channel.stop();

    ASSERT_EQ(channel.lines.size(), 3u);
    const char* zones[] = {"005", "006", "007"};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(channel.lines[i].kind, ReceiverLine::Kind::Event);
        EXPECT_EQ(channel.lines[i].channel, 5);
        EXPECT_EQ(channel.lines[i].account, "1234");
        EXPECT_EQ(channel.lines[i].qualifier, 'E');
        EXPECT_EQ(channel.lines[i].event, "130");
        EXPECT_EQ(channel.lines[i].group, "01");
        EXPECT_EQ(channel.lines[i].zone, zones[i]);
    }
    EXPECT_EQ(s.sent, 3u);
    EXPECT_EQ(s.answered, 3u);
    EXPECT_EQ(s.unanswered, 0u);
    EXPECT_EQ(s.unexpected, 0u);
    EXPECT_EQ(s.latencyMs.size(), 3u);
    EXPECT_EQ(s.exitCode(false), 0);
    const std::string text = out.str();
    EXPECT_NE(text.find("event seq=3 account=1234 qualifier=1 event=130 group=01 zone=007 "
                        "result=answered latency_ms="),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("summary sent=3 answered=3 unanswered=0 unexpected=0 foreign=0 "),
              std::string::npos)
        << text;
}

TEST(AlarmSimSend, SilenceAndDoubledRepliesAreCounted) {
    LoopbackChannel mute(0);
    std::ostringstream out;
    SendSummary s = runSend(eventsTo(mute.port(), 2), out);
    EXPECT_EQ(s.sent, 2u);
    EXPECT_EQ(s.answered, 0u);
    EXPECT_EQ(s.unanswered, 2u);
    EXPECT_EQ(s.exitCode(false), 3);
    EXPECT_NE(out.str().find("result=unanswered"), std::string::npos);

    LoopbackChannel twice(2);
    s = runSend(eventsTo(twice.port(), 2), out);
    EXPECT_EQ(s.answered, 2u);
    EXPECT_EQ(s.unexpected, 2u);
    EXPECT_EQ(s.exitCode(false), 3);
}

TEST(AlarmSimSend, ServicePacketsFromAChosenPortAtARate) {
    LoopbackChannel channel(1);
    SendOptions o = eventsTo(channel.port(), 4);
    o.service = true;
    o.serviceLength = 11;
    o.rate = 20;
    // A free port for the source: one the system just handed out.
    {
        DatagramEndpoint probe;
        probe.open(0);
        o.fromPort = probe.port();
    }
    std::ostringstream out;
    const SendSummary s = runSend(o, out);
    channel.stop();
    EXPECT_EQ(channel.kinds, std::vector<DatagramKind>(4, DatagramKind::Service));
    EXPECT_EQ(channel.peerPort, o.fromPort);
    EXPECT_EQ(s.sent, 4u);
    EXPECT_EQ(s.unexpected, 0u);
    EXPECT_EQ(s.exitCode(true), 0);
    // Four packets at 20 per second take four slots of 50 ms, not four timeouts of 300 ms.
    EXPECT_GE(s.seconds, 0.15);
    EXPECT_LT(s.seconds, 0.9);
}

}  // namespace
}  // namespace alarmsim
