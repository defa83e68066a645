#pragma once

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "relay/station_display.h"
#include "relay/station_loop.h"
#include "support/pty_peer.h"
#include "support/temp_dir.h"

namespace lan2com::test {

// The window as the station sees it: one line of the memo per appended line.
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
    void setRecordCount(const std::string& text) override { recordCountLabel = text; }
    std::string timestamp() const override { return "09.12.2026 10:00:00"; }

    LampColor color(int slot) const { return color_.at(std::size_t(slot)); }
    bool visible(int slot) const { return visible_.at(std::size_t(slot)); }

    std::vector<std::string> log;
    bool diag = false;
    std::string filter;
    std::string recordCountLabel;

  private:
    std::array<LampColor, kSlots> color_{};
    std::array<bool, kSlots> visible_{};
};

// The system clock moved on by what the test adds: heartbeat periods pass at once.
class JumpingClock final : public MsClock {
  public:
    std::uint32_t nowMs() const override { return systemMsClock().nowMs() + offset_.load(); }
    void jump(std::uint32_t ms) { offset_ += ms; }

  private:
    std::atomic<std::uint32_t> offset_{0};
};

// The station loop over real pseudo-terminals and loopback sockets, with what it reports shown
// in a fake window, as the window thread would.
class RelayFixture : public ::testing::Test {
  protected:
    RelayFixture();
    ~RelayFixture() override;

    // Puts a channel into slot s: its COM port is a fresh pty pair (COM<40+s>), its UDP port free.
    PtyPeer& addChannel(int slot, const std::string& addrIP, std::uint8_t mode = 2);
    std::uint16_t portOf(int slot) const { return state.table[slot].Port & 0xFFFFu; }

    // Brings every occupied slot up.
    ActivationPass activateAll();
    ChannelStatus status(int slot) { return loop->status(slot); }
    // Moves the loop's clock on and lets the loop see it.
    void jump(std::uint32_t ms) {
        clock.jump(ms);
        (void)loop->status(0);
    }

    // Shows the loop's reports until pred holds or the time is up.
    bool pumpUntil(const std::function<bool()>& pred, int timeoutMs = 3000);
    void pumpFor(int ms);
    // Shows everything the loop did up to now.
    void sync();

    // Sends a datagram and waits until the channel's line has been written (or the time is up).
    std::vector<std::uint8_t> sendAndReadLine(UdpPeer& from, int slot,
                                              const std::vector<std::uint8_t>& datagram);
    // Waits for a reply on the peer while showing the loop's reports.
    bool replyArrives(UdpPeer& peer, std::vector<std::uint8_t>& reply, std::uint16_t& fromPort,
                      int timeoutMs);

    DataHome home;
    SharedState state;
    FakeView view;
    StationDisplay display{view, state};
    JumpingClock clock;
    std::unique_ptr<StationLoop> loop;
    std::array<std::unique_ptr<PtyPeer>, kSlots> monitors;
};

// The worked example's datagram: digits 1 2 3 4 7 8 1 1 3 A A 1 A A 5 C.
extern const std::vector<std::uint8_t> kWorkedDatagram;

}  // namespace lan2com::test
