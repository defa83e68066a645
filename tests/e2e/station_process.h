#pragma once

// The built lan2com as a station runs it, driven from outside: a data folder of its own
// (XDG_DATA_HOME), virtual COM pairs made with vcom-pair, a registry file with the channels, the
// program started under the offscreen platform, the monitoring software on the far end of each
// pair and transceivers on loopback addresses. Every wait is bounded; whatever a test leaves
// running (the program, the pairs' socat) is ended when the harness goes.

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/pty_peer.h"

namespace lan2com::e2e {

using Bytes = std::vector<std::uint8_t>;

// The any-source code of a channel's transceiver address.
inline const std::string kAnySource = "<tqaWnsu";

// The monitoring software's end of a COM pair, opened as such software opens its port: raw,
// 115200 bit/s, 8 data bits, no parity.
class MonitorEnd {
  public:
    explicit MonitorEnd(std::filesystem::path path);
    ~MonitorEnd();
    MonitorEnd(const MonitorEnd&) = delete;
    MonitorEnd& operator=(const MonitorEnd&) = delete;

    bool open();  // false when the device cannot be opened
    void close();
    bool isOpen() const { return fd_ >= 0; }

    // Reads exactly n bytes, or fewer when the time runs out first.
    Bytes read(std::size_t n, int timeoutMs);
    // Reads what arrives within the time.
    Bytes readFor(int ms);
    void write(const Bytes& bytes);
    void write(std::uint8_t byte) { write(Bytes{byte}); }

  private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// What a run of a command-line tool gave.
struct ToolRun {
    int status = -1;  // exit code; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// One channel of the configuration. Its slot is its position in the list (channel number = slot
// + 1), its COM pair COM<comIn> (lan2com) and COM<comIn + 1> (the monitoring software).
struct ChannelConfig {
    std::string addrIP = "127.0.0.2";
    std::uint8_t conv = 2;
    std::uint16_t port = 0;  // 0: a free port is chosen
};

class StationProcess {
  public:
    StationProcess();
    ~StationProcess();
    StationProcess(const StationProcess&) = delete;
    StationProcess& operator=(const StationProcess&) = delete;

    // ---- before start() ----
    // Adds a channel; answers its slot.
    int addChannel(const ChannelConfig& config);
    // An environment variable for the program (besides XDG_DATA_HOME and QT_QPA_PLATFORM).
    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    // Writes the registry file with the configuration, makes one vcom-pair per channel and opens
    // the monitoring software's ends. start() does this itself when it has not been done.
    void prepare();

    // Starts lan2com. With waitReady, waits until every channel's receive port is bound by it;
    // false when that does not happen within the time. Start-up brings the channels up in one
    // pass before it handles any datagram, so a datagram sent then waits for the whole pass.
    bool start(bool waitReady = true, int timeoutMs = 15000);
    // Ends it as a service manager does (SIGTERM) and answers its exit code: -1 when it had to
    // be killed, or ended by a signal.
    int stop(int timeoutMs = 10000);
    bool running();
    pid_t pid() const { return pid_; }
    // Starts one more lan2com on the same data folder, as a second copy started by mistake,
    // with its output in <name>.log; answers its process id. The harness kills it at the end.
    pid_t startAnother(const std::string& name);
    // Ends that copy with SIGTERM; answers its exit code as stop() does.
    int stopAnother(pid_t pid, int timeoutMs = 10000);
    std::string outputOf(const std::string& name) const;
    // Whether lan2com has a UDP socket bound at the port.
    bool boundByStation(std::uint16_t port) const;

    // ---- the surroundings ----
    std::uint16_t port(int slot) const { return channels_.at(std::size_t(slot)).port; }
    int comIn(int slot) const { return kFirstCom + 2 * slot; }
    MonitorEnd& monitor(int slot) { return *monitors_.at(std::size_t(slot)); }
    ToolRun vcomPair(const std::vector<std::string>& args) const;
    // Makes, or removes, the pair of a slot with vcom-pair.
    bool addPair(int slot);
    bool removePair(int slot);

    const std::filesystem::path& dataHome() const { return home_; }
    std::filesystem::path appData() const { return home_ / "lan2com"; }
    std::filesystem::path registryFile() const { return appData() / "registry.reg"; }
    // The registry file's text as prepare() writes it (before vcom-pair adds the device map).
    std::string configurationText() const;
    // The program's standard output and error so far.
    std::string programOutput() const;

    static constexpr int kFirstCom = 20;

  private:
    pid_t launch(const std::string& logName);
    void endSocat();

    std::filesystem::path home_;
    std::vector<ChannelConfig> channels_;
    std::vector<std::unique_ptr<MonitorEnd>> monitors_;
    std::map<std::string, std::string> env_;
    bool prepared_ = false;
    pid_t pid_ = -1;
    int exitCode_ = -1;
    std::vector<pid_t> others_;
};

// The sixteen bytes of an event: digit i of the text (0-9, A-F) as the value of byte i.
Bytes eventDatagram(const std::string& digits16);
// Bytes of a text, as they stand.
Bytes bytesOf(const std::string& text);
// The heartbeat line.
Bytes heartbeatLine();

// Waits for one datagram on the transceiver's socket; nothing within the time answers false.
bool receiveReply(lan2com::test::UdpPeer& peer, Bytes& reply, std::uint16_t& fromPort,
                  int timeoutMs);
// No datagram arrives within the time.
bool silentFor(lan2com::test::UdpPeer& peer, int ms);

}  // namespace lan2com::e2e
