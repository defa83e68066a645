#pragma once

// A plain UDP socket for the tests: the transceiver's side of the endpoint under test. Written
// directly on the system's sockets, independent of the code under test.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lan2com {
namespace testing {

struct Datagram {
    std::vector<std::uint8_t> bytes;
    std::string fromIp;
    std::uint16_t fromPort = 0;
};

class TestSocket {
  public:
    // Binds ip:port (port 0: any free port); throws std::runtime_error on failure.
    explicit TestSocket(const std::string& ip = "127.0.0.1", std::uint16_t port = 0);
    ~TestSocket();
    TestSocket(const TestSocket&) = delete;
    TestSocket& operator=(const TestSocket&) = delete;

    std::uint16_t port() const;
    void sendTo(const std::string& ip, std::uint16_t port, const std::vector<std::uint8_t>& bytes);
    std::optional<Datagram> receive(std::chrono::milliseconds timeout);

    // Whether ip:port can be bound right now (the socket is closed again at once).
    static bool canBind(const std::string& ip, std::uint16_t port);
    // A port that is free at this moment (bound to 0 and released).
    static std::uint16_t freePort();

  private:
    std::intptr_t fd_;
};

std::vector<std::uint8_t> bytesOf(const std::string& text);

// The source address of the datagrams that a socket bound to ip sends: ip itself, except under
// Wine, which binds a loopback address other than 127.0.0.1 as the wildcard address, so that its
// datagrams leave from 127.0.0.1.
std::string sourceAddressOf(const std::string& ip);

// Whether text is an IPv4 (family 4) or IPv6 (family 6) address text; 0 when neither.
int addressFamilyOf(const std::string& text);

// Open file descriptors of this process (Linux); -1 where it cannot be told.
int openDescriptors();

}  // namespace testing
}  // namespace lan2com
