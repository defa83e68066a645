#pragma once

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "channels/channel_runtime.h"
#include "platform/handover.h"
#include "relay/relay.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace lan2com::test {

// A heartbeat timer that fires only when the test says so, and remembers how it was switched.
class ManualTimer final : public HeartbeatTimer {
  public:
    void SetEnabled(bool enabled) override {
        if (enabled && !enabled_) {
            ++starts;
        }
        enabled_ = enabled;
    }
    bool Enabled() const override { return enabled_; }
    void fire() {
        if (enabled_ && OnTimer) {
            OnTimer();
        }
    }
    int starts = 0;  // times a full new period began

  private:
    bool enabled_ = false;
};

// The window as the relay sees it: one line of the memo per appended line.
class FakeView final : public RelayView {
  public:
    void setLampColor(int slot, LampColor color) override { color_.at(std::size_t(slot)) = color; }
    void setLampVisible(int slot, bool visible) override {
        visible_.at(std::size_t(slot)) = visible;
    }
    void appendLogLine(const std::string& line) override { log.push_back(line); }
    int logLineCount() const override { return static_cast<int>(log.size()); }
    void clearLog() override { log.clear(); }
    bool diagnosticsChecked() const override { return diag; }
    void setDiagnosticsChecked(bool checked) override { diag = checked; }
    std::string accountFilter() const override { return filter; }
    void setRecordCount(const std::string& text) override { recCnt = text; }
    std::string timestamp() const override { return "09.12.2026 10:00:00"; }

    LampColor color(int slot) const { return color_.at(std::size_t(slot)); }
    bool visible(int slot) const { return visible_.at(std::size_t(slot)); }

    std::vector<std::string> log;
    bool diag = false;
    std::string filter;
    std::string recCnt;

  private:
    std::array<LampColor, kSlots> color_{};
    std::array<bool, kSlots> visible_{};
};

class CollectingErrors final : public ErrorReport {
  public:
    void report(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

// Sixteen channels' components over real pseudo-terminals and loopback sockets, with the relay
// wired to them and the main thread driven by the test.
class RelayFixture : public ::testing::Test {
  protected:
    RelayFixture();
    ~RelayFixture() override;

    // Puts a channel into slot s: its COM port is a fresh pty pair (COM<40+s>), its UDP port free.
    PtyPeer& addChannel(int slot, const std::string& addrIP, std::uint8_t mode = 2);
    std::uint16_t portOf(int slot) const { return state.table[slot].Port & 0xFFFFu; }

    // Runs main-thread events until pred holds or the time is up.
    bool pumpUntil(const std::function<bool()>& pred, int timeoutMs = 3000);
    void pumpFor(int ms);

    // Sends a datagram and waits until the channel's line has been written (or the time is up).
    std::vector<std::uint8_t> sendAndReadLine(UdpPeer& from, int slot,
                                              const std::vector<std::uint8_t>& datagram);
    // Waits for a reply on the peer while running main-thread events.
    bool replyArrives(UdpPeer& peer, std::vector<std::uint8_t>& reply, std::uint16_t& fromPort,
                      int timeoutMs);

    DataHome home;
    QueueHandover handover;
    CollectingErrors errors;
    SharedState state;
    FakeView view;
    std::array<ManualTimer, kSlots> timers;
    std::vector<ManualTimer*> reopenTimers;  // made for the runtime, owned by it
    std::unique_ptr<ChannelRuntime> runtime;
    std::unique_ptr<Relay> relay;
    std::array<std::unique_ptr<PtyPeer>, kSlots> monitors;
};

// The worked example's datagram: digits 1 2 3 4 7 8 1 1 3 A A 1 A A 5 C.
extern const std::vector<std::uint8_t> kWorkedDatagram;

}  // namespace lan2com::test
