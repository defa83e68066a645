#pragma once

// The operating system's side of the datagram endpoint: one IPv4 UDP socket and the signal that
// stops its listener. One backend per platform (datagram_socket_posix.cpp, _win32.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lan2com {
namespace net {

// A one-way stop signal a listener can wait on together with its socket. Raising it is final.
class StopSignal {
  public:
    StopSignal();  // EIdSocketError when the operating system refuses
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    void raise();  // any thread
    bool raised() const;
    // Waits until raised, at most for the given time; answers raised().
    bool waitFor(std::chrono::milliseconds time) const;

    struct Native;
    Native& native() const { return *native_; }

  private:
    std::unique_ptr<Native> native_;
};

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

enum class WaitResult { Readable, Stopped, Failed };

// An IPv4 datagram socket, never with address reuse.
class DatagramSocket {
  public:
    DatagramSocket();   // EIdSocketError when the socket cannot be created
    ~DatagramSocket();  // closes
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Binds the wildcard address at port (0: a port the system chooses); EIdCouldNotBindSocket on
    // any failure.
    void bindAny(std::uint16_t port);
    // The bound port.
    std::uint16_t localPort() const;

    // Sends one datagram to a dotted IPv4 host; EIdSocketError on failure (also a bad host).
    void sendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                std::size_t size);

    // Listener side: waits until a datagram can be read or stop is raised (no timeout).
    WaitResult waitReadable(const StopSignal& stop);
    // Reads one datagram without blocking into buffer (capacity bytes, may be 0).
    Received receive(std::uint8_t* buffer, std::size_t capacity);

    // Closes the socket now (idempotent). Nobody may be using it.
    void close();
    bool isOpen() const;

    struct Native;

  private:
    std::unique_ptr<Native> native_;
};

}  // namespace net
}  // namespace lan2com
