#pragma once

// Stand-ins of the serial port tests: a recording error report, a settable clock, a recorder of a
// port's events and a device that exists only in memory.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/error_report.h"
#include "platform/tick_clock.h"
#include "serial/apd_com_port.h"
#include "serial/serial_device.h"

namespace lan2com::serialtest {

class RecordingErrors : public ErrorReport {
  public:
    void report(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

// A millisecond clock the test sets.
class SettableClock : public MsClock {
  public:
    std::uint32_t nowMs() const override { return ms.load(); }
    std::atomic<std::uint32_t> ms{0};
};

// What the events of one port brought, in order.
struct Events {
    using Clock = std::chrono::steady_clock;
    static constexpr int kAll = 0xFFFF;

    int opens = 0;
    std::vector<std::uint16_t> counts;       // OnTriggerAvail
    std::vector<std::uint8_t> read;          // bytes the avail handler read
    std::vector<std::uint16_t> timers;       // OnTriggerTimer handles
    std::vector<Clock::time_point> timerAt;  // when they ran
    std::vector<std::string> errors;         // OnPortError

    // bytesPerEvent: how many bytes the avail handler reads (at most Count; kAll: all of them).
    void attach(TApdComPort& port, int bytesPerEvent = 1) {
        port.OnPortOpen = [this](TApdComPort&) { ++opens; };
        port.OnTriggerAvail = [this, bytesPerEvent](TApdComPort& p, std::uint16_t count) {
            counts.push_back(count);
            for (int i = 0; i < bytesPerEvent && i < count; ++i) {
                read.push_back(p.GetChar());
            }
        };
        port.OnTriggerTimer = [this](TApdComPort&, std::uint16_t handle) {
            timers.push_back(handle);
            timerAt.push_back(Clock::now());
        };
        port.OnPortError = [this](TApdComPort&, const std::string& message) {
            errors.push_back(message);
        };
    }
};

// A device that exists only in memory. The test feeds input, decides whether writes are taken,
// and can make the device fail.
class FakeDevice : public SerialDevice {
  public:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool acceptWrites = true;
        std::string failWrites;  // not empty: write() fails with this text
        std::deque<std::uint8_t> input;
        std::vector<std::uint8_t> written;
        std::size_t offered = 0;  // bytes offered to write() while it took nothing
        int waits = 0;            // calls of wait(): how often the port's thread looked
        bool destroyed = false;
    };

    explicit FakeDevice(std::shared_ptr<State> state) : state_(std::move(state)) {}
    ~FakeDevice() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->destroyed = true;
    }

    Ready wait(bool wantRead, bool wantWrite, bool watchDevice,
               std::optional<std::chrono::milliseconds> timeout) override {
        std::unique_lock<std::mutex> lock(state_->mutex);
        ++state_->waits;
        Ready ready;
        auto ended = [&] {
            return woken_ || (watchDevice && ((wantRead && !state_->input.empty()) ||
                                              (wantWrite && state_->acceptWrites)));
        };
        if (timeout) {
            state_->changed.wait_for(lock, *timeout, ended);
        } else {
            state_->changed.wait(lock, ended);
        }
        woken_ = false;
        ready.readable = watchDevice && wantRead && !state_->input.empty();
        ready.writable = watchDevice && wantWrite && state_->acceptWrites;
        return ready;
    }

    void wake() override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        woken_ = true;
        state_->changed.notify_all();
    }

    long read(std::uint8_t* buffer, std::size_t size) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        std::size_t n = 0;
        while (n < size && !state_->input.empty()) {
            buffer[n++] = state_->input.front();
            state_->input.pop_front();
        }
        return static_cast<long>(n);
    }

    long write(const std::uint8_t* bytes, std::size_t size) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (!state_->failWrites.empty()) {
            error_ = state_->failWrites;
            return -1;
        }
        if (!state_->acceptWrites) {
            state_->offered = size;
            return 0;
        }
        state_->written.insert(state_->written.end(), bytes, bytes + size);
        return static_cast<long>(size);
    }

    std::string error() const override { return error_; }
    void purge() override {}

  private:
    std::shared_ptr<State> state_;
    bool woken_ = false;  // guarded by the state's mutex; each device has its own wake-up
    std::string error_;
};

class FakeDevices : public SerialDeviceOpener {
  public:
    std::unique_ptr<SerialDevice> open(std::uint16_t number, const LineSettings& line) override {
        opened.push_back(number);
        lastLine = line;
        return std::make_unique<FakeDevice>(state);
    }
    // Changes the device's state and lets it look again.
    template <typename F>
    void change(F&& f) {
        std::lock_guard<std::mutex> lock(state->mutex);
        f(*state);
        state->changed.notify_all();
    }

    std::shared_ptr<FakeDevice::State> state = std::make_shared<FakeDevice::State>();
    std::vector<std::uint16_t> opened;
    LineSettings lastLine;
};

}  // namespace lan2com::serialtest
