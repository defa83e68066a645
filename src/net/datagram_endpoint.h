#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wait_set.h"

namespace lan2com {

class DatagramError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Any failure to bind, whatever its cause.
class BindError : public DatagramError {
  public:
    BindError() : DatagramError("Could not bind socket. Address and port are already in use.") {}
};
// A socket that cannot be created, or a failed send; the operating system's text follows.
class SocketError : public DatagramError {
  public:
    using DatagramError::DatagramError;
};

namespace net {
class DatagramSocket;
}
struct Batch;

// One datagram as the endpoint received it.
struct Datagram {
    std::vector<std::uint8_t> bytes;  // at most the endpoint's capacity
    std::string peerAddress;          // dotted IPv4
    std::uint16_t peerPort = 0;
};

// The datagram endpoint of one channel: one IPv4 UDP socket bound at every local address on the
// channel's receive port, served by the station loop. Datagrams longer than the capacity are
// dropped whole. Not thread-safe: it belongs to the loop's thread.
class DatagramEndpoint {
  public:
    static constexpr std::size_t kCapacity = 16;

    DatagramEndpoint();
    ~DatagramEndpoint();
    DatagramEndpoint(const DatagramEndpoint&) = delete;
    DatagramEndpoint& operator=(const DatagramEndpoint&) = delete;

    // Binds the port (0: one the system picks), closing what was open before. With a source
    // given, only its datagrams are wanted: where the system can, the others never reach the
    // process. Raises BindError (or SocketError) and stays closed on failure.
    void open(std::uint16_t port, const std::optional<std::string>& onlySource = std::nullopt);
    void close();
    bool isOpen() const;
    std::uint16_t port() const;  // the bound port; 0 when closed
    // Whether a socket filter keeps other sources out of the process.
    bool filtered() const { return filtered_; }

    void addWaits(WaitSet& set);
    // Whether the last wait saw datagrams waiting (or the endpoint was not in it: then it may).
    bool ready(const WaitSet& set) const;

    // Reads the datagrams waiting now, at most `budget` of them, and hands each to `take`.
    // Answers how many were read (a datagram dropped for its length counts too); a count equal
    // to the budget means more may be waiting. A failure of the socket is raised as SocketError.
    template <typename Take>
    std::size_t receive(std::size_t budget, Take&& take) {
        std::size_t count = 0;
        startRound();
        Datagram d;
        while (count < budget) {
            const std::size_t asked = std::min(budget - count, kBatch);
            const std::size_t got = receiveBatch(asked);
            for (std::size_t i = 0; i < got; ++i) {
                if (takeResult(i, d)) {
                    take(d);
                }
            }
            count += got;
            if (got < asked) {
                break;  // nothing more waits
            }
        }
        return count;
    }

    // Sends text as ASCII bytes (a character above 127 becomes '?') in one datagram from the
    // bound socket, so that its source port is the channel's port. SocketError on failure.
    void send(const std::string& host, std::uint16_t port, const std::string& text);

  private:
    static constexpr std::size_t kBatch = 16;
    void startRound();
    // Reads up to `count` datagrams into the batch; answers how many.
    std::size_t receiveBatch(std::size_t count);
    // Result i of the batch as a datagram: false when it was dropped for its length. A failure of
    // the socket is raised as SocketError.
    bool takeResult(std::size_t i, Datagram& d);

    std::unique_ptr<net::DatagramSocket> socket_;
    bool filtered_ = false;
    std::optional<WaitSet::Token> token_;  // in the last wait
    std::unique_ptr<Batch> batch_;
};

// The bytes of a text sent by DatagramEndpoint::send: ASCII, one byte a character; every
// character above 127 (a UTF-8 sequence, or a byte that is not part of one) becomes one '?'.
std::vector<std::uint8_t> asciiBytes(const std::string& text);

}  // namespace lan2com
