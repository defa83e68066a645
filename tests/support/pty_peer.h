#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace lan2com::test {

// A pseudo-terminal pair standing in for a virtual null-modem pair: the program opens the slave
// side as COMn (through a dosdevices link), the test acts as the monitoring software on the
// master side.
class PtyPeer {
  public:
    // Makes the pair and links <devices>/com<number> to its slave side.
    PtyPeer(const std::filesystem::path& devices, int number);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    const std::string& slavePath() const { return slavePath_; }

    // Reads exactly n bytes, or fewer when the timeout passes first.
    std::vector<std::uint8_t> read(std::size_t n, int timeoutMs);
    // Reads whatever arrives within the time.
    std::vector<std::uint8_t> readFor(int timeMs);
    void write(const std::vector<std::uint8_t>& bytes);
    void write(std::uint8_t byte) { write(std::vector<std::uint8_t>{byte}); }

  private:
    int master_ = -1;
    int slaveKeep_ = -1;  // keeps the slave side alive while the program has it closed
    std::string slavePath_;
};

// A UDP socket on a loopback address standing in for a transceiver.
class UdpPeer {
  public:
    explicit UdpPeer(const std::string& address = "127.0.0.2");
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    std::uint16_t port() const { return port_; }
    const std::string& address() const { return address_; }
    void sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes,
                const std::string& to = "127.0.0.1");
    // One datagram and the port it came from, or nothing within the timeout.
    bool receive(std::vector<std::uint8_t>& bytes, std::uint16_t& fromPort, int timeoutMs);

  private:
    int fd_ = -1;
    std::string address_;
    std::uint16_t port_ = 0;
};

// A UDP port that was free a moment ago (bound and released at once).
std::uint16_t freeUdpPort();

}  // namespace lan2com::test
