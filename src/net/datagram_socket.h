#pragma once

// The operating system's side of the datagram endpoint: one IPv4 UDP socket, served by the station
// loop. One backend per platform (datagram_socket_posix.cpp, _win32.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/wait_set.h"

namespace lan2com {
namespace net {

// What one receive produced.
struct Received {
    enum class Kind {
        Datagram,  // length bytes in the buffer, from peerIp:peerPort
        TooLong,   // a datagram larger than the buffer; discarded whole
        Nothing,   // nothing to read after all, or an error that needs no action (ICMP leftovers)
        Failed,    // an error of the socket; error holds the operating system's text
    };
    Kind kind = Kind::Nothing;
    std::size_t length = 0;
    std::string peerIp;
    std::uint16_t peerPort = 0;
    std::string error;
};

// An IPv4 datagram socket, never with address reuse.
class DatagramSocket {
  public:
    DatagramSocket();   // SocketError when the socket cannot be created
    ~DatagramSocket();  // closes
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Binds the wildcard address at port (0: a port the system chooses); BindError on
    // any failure.
    void bindAny(std::uint16_t port);
    // The bound port.
    std::uint16_t localPort() const;

    // Sends one datagram to a dotted IPv4 host; SocketError on failure (also a bad host).
    void sendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                std::size_t size);

    // Admits only datagrams from this dotted IPv4 address: on Linux a socket filter keeps every
    // other datagram out of the process; elsewhere nothing (the caller compares the source).
    // Answers whether the filter is in place.
    bool admitOnly(const std::string& address);

    // The station loop's wait watches the socket for datagrams: the token to ask the set about.
    WaitSet::Token addWaits(WaitSet& set);
    // Before a round of receive() calls: a datagram left unread after it signals the next wait.
    void startReceiving();
    // Reads one datagram without blocking into buffer (capacity bytes, may be 0).
    Received receive(std::uint8_t* buffer, std::size_t capacity);
    // Reads up to `count` datagrams without blocking, datagram i into buffers + i * capacity, in
    // one system call where the system has one for it. Answers how many results it filled: fewer
    // than asked means nothing more was waiting, or results[n - 1] is the failure that ended it.
    std::size_t receiveBatch(std::uint8_t* buffers, std::size_t capacity, Received* results,
                             std::size_t count);

    // Closes the socket now (idempotent). Nobody may be using it.
    void close();
    bool isOpen() const;

    struct Native;

  private:
    std::unique_ptr<Native> native_;
};

}  // namespace net
}  // namespace lan2com
