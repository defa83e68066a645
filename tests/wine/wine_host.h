#pragma once

// Windows-only support of the tests: where they run (Windows or Wine), and the client of the
// harness's COM peer (tests/wine/native/com_peer.cpp) that scripts/wine-test starts on the Linux
// side of Wine.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lan2com {
namespace wine {

// True when the process runs under Wine (ntdll exports wine_get_version), false on Windows.
bool runningUnderWine();

// The far end of the COM ports that the harness links to pseudo-terminals.
class ComPeer {
  public:
    // The peer named by LAN2COM_WINE_PEER ("127.0.0.1:<port>"), or nullptr when the tests run
    // without the harness. Throws when the variable is set but the peer does not answer.
    static std::unique_ptr<ComPeer> fromEnvironment();

    explicit ComPeer(std::uint16_t controlPort);
    ~ComPeer();
    ComPeer(const ComPeer&) = delete;
    ComPeer& operator=(const ComPeer&) = delete;

    // The COM numbers the harness linked (LAN2COM_WINE_COM, "11,12,13"), in that order.
    static std::vector<std::uint16_t> linkedPorts();

    void reset(std::uint16_t com);  // echo off, nothing recorded, a hung-up line restored
    void setEcho(std::uint16_t com, bool on);
    void send(std::uint16_t com, const std::vector<std::uint8_t>& bytes);  // in one write
    std::vector<std::uint8_t> take(std::uint16_t com);  // bytes the port wrote since the last take
    // Takes until at least count bytes have come or the time is up; answers what came.
    std::vector<std::uint8_t> takeAtLeast(std::uint16_t com, std::size_t count, int timeoutMs);
    // "dtr=1 rts=0" as the port last set them, or "unknown".
    std::string lines(std::uint16_t com);
    // Closes both sides of the line: the device fails under the port.
    void hangup(std::uint16_t com);

    // One request, its answer (throws on "error ..." answers and on silence).
    std::string request(const std::string& text);

  private:
    std::uintptr_t socket_;
};

}  // namespace wine
}  // namespace lan2com
