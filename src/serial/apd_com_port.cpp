// The serial port component: buffers, triggers, the port's threads and the hand-over of its
// events to the main thread, over a device backend (serial_device.h).
//
// Threads. An open port runs two threads of its own:
//  - the I/O thread owns the device: it waits (poll / WaitForMultipleObjects) until the device
//    has bytes for it, can take more output, or is woken; it reads into the inbound queue and
//    writes what PutChar appended to the output buffer. It never waits on the main thread, so
//    output flows while the main thread is busy. Bytes that PutChar appends while the I/O
//    thread holds none go to the device from the main thread instead, all together once the
//    running event handler has returned (Handover::atCallEnd; outside a handler at once), as
//    far as the device takes them without waiting; only the rest wakes the I/O thread.
//  - the dispatcher moves inbound bytes into the receive buffer, evaluates the data-available
//    trigger and then the timer triggers, and hands each event to the main thread, blocking
//    until its handler has returned. It sleeps until it is kicked (bytes, a failure, a trigger
//    change) or until the nearest armed trigger's deadline.
// An open port with nothing armed and no traffic therefore wakes no thread at all.
//
// Locks: `mutex` guards the inbound queue, the receive buffer, the trigger set and the flags the
// two threads share; `outMutex` guards the output buffer. No lock is held across a hand-over, so a
// handler may call every operation on its own port.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "serial/apd_com_port.h"
#include "serial/byte_ring.h"
#include "serial/serial_device.h"
#include "serial/trigger_set.h"

namespace lan2com {

namespace {

constexpr std::size_t kReceiveBufferSize = 8192;
constexpr std::size_t kInboundQueueSize = 8192;
constexpr std::size_t kReadBlock = 256;
constexpr Handover::Duration kHandoverLimit{3000};
// After a hand-over that did not reach the main thread, the dispatcher tries again this much
// later at the earliest (the hand-over itself normally waits its full limit before failing).
constexpr std::chrono::milliseconds kRetryPause{50};

class SystemDevices final : public SerialDeviceOpener {
  public:
    std::unique_ptr<SerialDevice> open(std::uint16_t number, const LineSettings& line) override {
        return openSerialDevice(number, line);
    }
};

}  // namespace

// The open device of a port with its buffers and threads; lives from an open to the end of the
// matching close.
struct Session {
    std::uint16_t number = 0;
    std::unique_ptr<SerialDevice> device;  // reset under `mutex` once the I/O thread has ended

    std::mutex mutex;
    std::condition_variable changed;  // kick, stop, dispatcherDone
    ByteRing inbound{kInboundQueueSize};
    ByteRing rx{kReceiveBufferSize};
    TriggerSet triggers;
    bool stop = false;
    bool kick = false;       // something for the dispatcher to look at
    bool newData = false;    // bytes entered rx since the last data-available event
    bool ioStarved = false;  // the I/O thread stopped reading: inbound is full
    bool failed = false;     // the device failed; failure says how
    bool failureReported = false;
    std::string failure;
    bool dispatcherDone = false;

    std::mutex outMutex;
    ByteRing out;
    bool outFailed = false;      // PutChar refuses: the device has failed
    bool ioHolds = false;        // the I/O thread has taken bytes out of `out` not all written yet
    bool flushArranged = false;  // flushOut() of this session is due on the main thread
    std::vector<std::uint8_t> scratch;  // flushOut()'s copy of the buffer

    std::thread io;
    std::thread dispatcher;

    // Main thread only: the data-available handler of this port is running; GetChar peeks.
    bool inAvail = false;
    std::size_t cursor = 0;
};

class TApdComPort::Impl {
  public:
    Impl(TApdComPort& port, SerialServices services) : port_(port), svc_(services) {}

    TApdComPort& port_;
    SerialServices svc_;
    std::uint16_t comNumber_ = 0;
    PortState state_ = PortState::psClosed;
    std::unique_ptr<Session> session_;
    bool hasSaved_ = false;
    TriggerSet::Saved saved_;
    int handlerDepth_ = 0;        // events of this port running on the main thread
    bool finishPending_ = false;  // a close waits for this port's running handler to return
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);

    std::uint32_t nowTick() const { return toTicks(svc_.clock.nowMs()); }

    // Completes a close that was requested inside one of the port's own handlers, once no such
    // handler runs any more.
    void settle() {
        if (finishPending_ && handlerDepth_ == 0) {
            finishClose();
        }
    }

    void open();
    void close();
    void finishClose();
    void stopDispatcher();

    void ioLoop(Session& s);
    void readAvailable(Session& s, std::uint8_t* buffer);
    void failDevice(Session& s, const std::string& what);
    void dispatcherLoop(Session& s);
    bool deliver(Session& s, const std::function<void()>& handler, bool avail);
    void runHandler(const std::function<void()>& handler);
    void flushOut(Session& s);
};

// ---- Opening and closing ----

void TApdComPort::Impl::open() {
    if (comNumber_ == 0) {
        if (!port_.PromptForPort || svc_.prompt == nullptr) {
            throw ENoPortSelected();
        }
        const std::optional<std::string> choice = svc_.prompt->choosePort();
        if (!choice) {
            throw ENoPortSelected();
        }
        // "COM12" → 12; an empty choice (OK on an empty list) fails the conversion.
        const std::string digits = choice->size() > 3 ? choice->substr(3) : std::string();
        const std::int32_t number = StrToInt(digits);
        comNumber_ = static_cast<std::uint16_t>(number);
        settle();
        if (state_ != PortState::psClosed) {
            return;  // the modal dialog ran events that opened the port meanwhile
        }
    }

    LineSettings line;
    line.baud = port_.Baud;
    line.dataBits = port_.DataBits;
    line.parity = port_.parity;
    line.stopBits = port_.StopBits;
    line.inSize = port_.InSize;
    line.outSize = port_.OutSize;
    line.dtr = port_.DTR;
    line.rts = port_.RTS;
    line.rs485 = port_.RS485Mode;

    auto session = std::make_unique<Session>();
    session->number = comNumber_;
    SystemDevices system;
    SerialDeviceOpener& opener = svc_.devices != nullptr ? *svc_.devices : system;
    session->device = opener.open(comNumber_, line);
    session->out = ByteRing(port_.OutSize);
    session->triggers.reset();

    Session& s = *session;
    try {
        s.io = std::thread([this, &s] { ioLoop(s); });
        s.dispatcher = std::thread([this, &s] { dispatcherLoop(s); });
    } catch (const std::system_error& e) {
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.stop = true;
        }
        s.changed.notify_all();
        s.device->wake();
        if (s.io.joinable()) {
            s.io.join();
        }
        throw EOpenFailed("Cannot open COM" + std::to_string(comNumber_) +
                          ": cannot start the port's threads (" + e.what() + ")");
    }

    session_ = std::move(session);
    state_ = PortState::psOpen;
    if (port_.RS485Mode) {
        port_.RTS = false;  // the driver drives RTS now
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.triggers.setThreshold(port_.TriggerLength);
        if (hasSaved_) {
            s.triggers.restore(saved_);
        }
        s.kick = true;
    }
    s.changed.notify_all();

    if (port_.OnPortOpen) {
        port_.OnPortOpen(port_);
    }
}

void TApdComPort::Impl::close() {
    if (state_ != PortState::psOpen) {
        return;
    }
    Session& s = *session_;
    state_ = PortState::psShuttingDown;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        saved_ = s.triggers.save();
        hasSaved_ = true;
        s.stop = true;
    }
    s.changed.notify_all();
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.out.clear();
    }
    s.device->wake();
    s.io.join();
    s.device->purge();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.rx.clear();
        s.inbound.clear();
        s.device.reset();  // closes the device
    }
    if (handlerDepth_ > 0) {
        // Called from inside one of this port's handlers: the dispatcher waits for that handler
        // to return. The rest happens once it has.
        finishPending_ = true;
        return;
    }
    finishClose();
}

void TApdComPort::Impl::stopDispatcher() {
    Session& s = *session_;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.dispatcherDone) {
        // A hand-over of this port that the main thread has not started is dropped: its invoker
        // returns at once. Repeated, since the dispatcher may hand over just after a cancel.
        lock.unlock();
        svc_.handover.cancel(&port_);
        lock.lock();
        s.changed.wait_for(lock, std::chrono::milliseconds(5), [&] { return s.dispatcherDone; });
    }
    lock.unlock();
    s.dispatcher.join();
}

void TApdComPort::Impl::finishClose() {
    finishPending_ = false;
    if (!session_) {
        return;
    }
    stopDispatcher();
    session_.reset();
    state_ = PortState::psClosed;
}

// ---- The I/O thread ----

void TApdComPort::Impl::failDevice(Session& s, const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.outFailed = true;
        s.out.clear();
    }
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.failed) {
            return;
        }
        s.failed = true;
        s.failure = "COM" + std::to_string(s.number) + ": " + what;
        s.kick = true;
    }
    s.changed.notify_all();
}

void TApdComPort::Impl::readAvailable(Session& s, std::uint8_t* buffer) {
    for (;;) {
        std::size_t room;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            room = s.inbound.free();
            if (room == 0) {
                s.ioStarved = true;  // the dispatcher wakes us when it has made room
                return;
            }
        }
        const long n = s.device->read(buffer, std::min(room, kReadBlock));
        if (n < 0) {
            failDevice(s, "device lost (" + s.device->error() + ")");
            return;
        }
        if (n == 0) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.inbound.push(buffer, static_cast<std::size_t>(n));
            s.kick = true;
        }
        s.changed.notify_all();
    }
}

void TApdComPort::Impl::ioLoop(Session& s) {
    SerialDevice& device = *s.device;
    std::vector<std::uint8_t> block;  // output taken from the buffer, not yet all written
    std::size_t sent = 0;
    std::uint8_t buffer[kReadBlock];
    bool failed = false;

    for (;;) {
        bool wantRead = false;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.stop) {
                break;
            }
            failed = s.failed;
            wantRead = !failed && s.inbound.free() > 0;
            if (!failed && !wantRead) {
                s.ioStarved = true;
            }
        }

        if (!failed) {
            if (sent == block.size()) {
                block.clear();
                sent = 0;
                std::lock_guard<std::mutex> lock(s.outMutex);
                s.out.takeInto(block, s.out.size());  // the buffer is free again at once
                s.ioHolds = !block.empty();
            }
            while (sent < block.size()) {
                const long n = device.write(block.data() + sent, block.size() - sent);
                if (n < 0) {
                    failDevice(s, "write failed (" + device.error() + ")");
                    failed = true;
                    break;
                }
                if (n == 0) {
                    break;  // the device takes nothing now: wait until it can
                }
                sent += static_cast<std::size_t>(n);
            }
            if (!failed && !block.empty() && sent == block.size()) {
                continue;  // all written: see whether more has been appended meanwhile
            }
        }

        const bool wantWrite = !failed && sent < block.size();
        const SerialDevice::Ready ready = device.wait(wantRead, wantWrite, !failed);
        if (failed) {
            continue;  // only a wake-up ends that wait: look whether we must stop
        }
        if (ready.readable && wantRead) {
            readAvailable(s, buffer);
        }
        if (ready.failed) {
            failDevice(s, "device lost (" + ready.error + ")");
        }
    }
}

// Main thread: hands the output buffer to the device when the I/O thread holds no bytes, as far
// as the device takes them at once; wakes the I/O thread for the rest.
void TApdComPort::Impl::flushOut(Session& s) {
    bool rest = false;
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.flushArranged = false;
        if (s.outFailed || s.ioHolds || s.out.empty()) {
            return;  // the I/O thread writes first what it holds, then the buffer
        }
        s.scratch.resize(s.out.size());
        for (std::size_t i = 0; i < s.scratch.size(); ++i) {
            s.scratch[i] = s.out.peek(i);
        }
        s.out.drop(s.device->writeNow(s.scratch.data(), s.scratch.size()));
        rest = !s.out.empty();
    }
    if (rest) {
        s.device->wake();
    }
}

// ---- The dispatcher ----

void TApdComPort::Impl::runHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        svc_.errors.report(e.what());
    } catch (...) {
        svc_.errors.report("Unknown failure in a serial port event handler");
    }
}

bool TApdComPort::Impl::deliver(Session& s, const std::function<void()>& handler, bool avail) {
    // Runs on the main thread. The dispatcher is blocked meanwhile, so the receive buffer only
    // shrinks through GetChar and nothing else of this port runs.
    auto onMain = [this, &s, &handler, avail] {
        ++handlerDepth_;
        if (avail) {
            s.inAvail = true;
            s.cursor = 0;
        }
        runHandler(handler);
        if (avail) {
            std::lock_guard<std::mutex> lock(s.mutex);
            s.rx.drop(s.cursor);  // what the handler read is consumed, even if it failed
            s.inAvail = false;
            s.cursor = 0;
        }
        if (--handlerDepth_ == 0 && finishPending_) {
            // The close asked for inside the handler ends once this hand-over has completed.
            std::weak_ptr<int> alive = alive_;
            svc_.handover.post([this, alive] {
                if (alive.lock()) {
                    settle();
                }
            });
        }
    };
    return svc_.handover.invoke(&port_, onMain, kHandoverLimit);
}

void TApdComPort::Impl::dispatcherLoop(Session& s) {
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.stop) {
        s.kick = false;
        bool deliveryFailed = false;

        // Received bytes into the receive buffer, as far as it has room.
        if (!s.inbound.empty() && s.rx.free() > 0) {
            const std::size_t n = std::min(s.inbound.size(), s.rx.free());
            for (std::size_t i = 0; i < n; ++i) {
                s.rx.push(s.inbound.peek(i));
            }
            s.inbound.drop(n);
            s.newData = true;
            if (s.ioStarved && s.device) {
                s.ioStarved = false;
                s.device->wake();
            }
        }

        // Data available, before the timers.
        const std::uint16_t threshold = s.triggers.threshold();
        if (threshold != 0 && s.newData && s.rx.size() >= threshold) {
            const auto count =
                static_cast<std::uint16_t>(std::min<std::size_t>(s.rx.size(), 0xFFFF));
            lock.unlock();
            const bool ok = deliver(
                s,
                [this, count] {
                    if (port_.OnTriggerAvail) {
                        port_.OnTriggerAvail(port_, count);
                    }
                },
                true);
            lock.lock();
            if (s.stop) {
                break;
            }
            if (ok) {
                s.newData = false;
            } else {
                deliveryFailed = true;  // the bytes stay unread and come in the next event
            }
        }

        // A failed device, once.
        if (s.failed && !s.failureReported) {
            const std::string message = s.failure;
            lock.unlock();
            const bool ok = deliver(
                s,
                [this, message] {
                    if (port_.OnPortError) {
                        port_.OnPortError(port_, message);
                    }
                },
                false);
            lock.lock();
            if (s.stop) {
                break;
            }
            if (ok) {
                s.failureReported = true;
            } else {
                deliveryFailed = true;
            }
        }

        // Timer triggers: the first expired one fires, then the walk starts again from the top.
        bool stopped = false;
        while (!deliveryFailed) {
            const std::optional<TriggerSet::Firing> firing = s.triggers.firstExpired(nowTick());
            if (!firing) {
                break;
            }
            s.triggers.beginFire(*firing);
            const std::uint16_t handle = firing->handle;
            lock.unlock();
            const bool ok = deliver(
                s,
                [this, handle] {
                    if (port_.OnTriggerTimer) {
                        port_.OnTriggerTimer(port_, handle);
                    }
                },
                false);
            lock.lock();
            if (s.stop) {
                stopped = true;
                break;
            }
            if (!ok) {
                s.triggers.undoFire(*firing);  // still expired: delivered on a later pass
                deliveryFailed = true;
            }
        }
        if (stopped) {
            break;
        }

        if (deliveryFailed) {
            s.changed.wait_for(lock, kRetryPause, [&] { return s.stop; });
            continue;
        }

        // Sleep until kicked or until the nearest armed trigger expires.
        const std::uint32_t nowMs = svc_.clock.nowMs();
        const std::uint32_t tick = toTicks(nowMs);
        const std::optional<std::uint32_t> ticks = s.triggers.ticksToNextExpiry(tick);
        auto woken = [&] { return s.stop || s.kick; };
        if (!ticks) {
            s.changed.wait(lock, woken);
        } else if (*ticks > 0) {
            // The expiry falls on the first millisecond of tick `tick + ticks`, counted across
            // the wrap of the 32-bit millisecond clock.
            const std::uint32_t target = tick + *ticks;
            const std::uint64_t targetMs =
                target > TriggerSet::kLastTick
                    ? (std::uint64_t{1} << 32) +
                          std::uint64_t{target - TriggerSet::kTickPeriod} * kTickMs
                    : std::uint64_t{target} * kTickMs;
            const auto wait = std::chrono::milliseconds(targetMs - nowMs + 1);
            s.changed.wait_for(lock, wait, woken);
        }
    }
    s.dispatcherDone = true;
    lock.unlock();
    s.changed.notify_all();
}

// ---- The component ----

TApdComPort::TApdComPort(SerialServices services, std::uint16_t tag)
    : Tag(tag), impl_(std::make_unique<Impl>(*this, services)) {}

TApdComPort::~TApdComPort() {
    // A port must not be destroyed inside its own event handler.
    impl_->close();
    impl_->finishClose();
}

std::uint16_t TApdComPort::ComNumber() const {
    return impl_->comNumber_;
}

void TApdComPort::SetComNumber(std::uint16_t number) {
    if (number == impl_->comNumber_) {
        return;
    }
    impl_->settle();
    if (impl_->state_ == PortState::psOpen) {
        impl_->close();
        impl_->settle();
        impl_->comNumber_ = number;
        if (impl_->state_ == PortState::psClosed) {
            impl_->open();  // the trigger set saved by the close comes back
        }
        return;
    }
    impl_->comNumber_ = number;
}

bool TApdComPort::Open() const {
    impl_->settle();
    return impl_->state_ != PortState::psClosed;
}

void TApdComPort::SetOpen(bool open) {
    impl_->settle();
    if (open) {
        if (impl_->state_ == PortState::psClosed) {
            impl_->open();
        }
    } else {
        impl_->close();
    }
}

PortState TApdComPort::State() const {
    impl_->settle();
    return impl_->state_;
}

void TApdComPort::PutChar(std::uint8_t byte) {
    impl_->settle();
    if (impl_->state_ == PortState::psClosed) {
        throw ECommNotOpen();
    }
    if (impl_->state_ == PortState::psShuttingDown) {
        return;
    }
    Session& s = *impl_->session_;
    bool wakeIo = false;
    bool arrange = false;
    {
        std::unique_lock<std::mutex> lock(s.outMutex);
        if (s.outFailed) {
            throw ECommNotOpen();
        }
        if (s.out.free() < 1 && !s.ioHolds) {
            lock.unlock();
            impl_->flushOut(s);  // a full buffer the device may take at once
            lock.lock();
            if (s.outFailed) {
                throw ECommNotOpen();
            }
        }
        if (s.out.free() < 1) {
            throw EOutputBufferTooSmall();
        }
        const bool wasEmpty = s.out.empty();
        s.out.push(byte);
        if (s.ioHolds) {
            wakeIo = wasEmpty;  // otherwise a wake-up is on its way already
        } else if (!s.flushArranged) {
            s.flushArranged = true;
            arrange = true;
        }
    }
    if (wakeIo) {
        s.device->wake();
    }
    if (arrange) {
        Impl* impl = impl_.get();
        std::weak_ptr<int> alive = impl->alive_;
        Session* session = &s;
        impl->svc_.handover.atCallEnd([impl, alive, session] {
            // The port may have been closed, reopened or destroyed by the handler meanwhile.
            if (alive.lock() && impl->state_ == PortState::psOpen &&
                impl->session_.get() == session) {
                impl->flushOut(*session);
            }
        });
    }
}

std::uint8_t TApdComPort::GetChar() {
    impl_->settle();
    if (impl_->state_ == PortState::psClosed) {
        throw ECommNotOpen();
    }
    if (impl_->state_ == PortState::psShuttingDown) {
        return 0;
    }
    Session& s = *impl_->session_;
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inAvail) {
        if (s.cursor >= s.rx.size()) {
            throw EBufferIsEmpty();
        }
        return s.rx.peek(s.cursor++);
    }
    if (s.rx.empty()) {
        throw EBufferIsEmpty();
    }
    const std::uint8_t byte = s.rx.peek(0);
    s.rx.drop(1);
    if (!s.inbound.empty()) {
        s.kick = true;  // room for bytes that waited for it
        s.changed.notify_all();
    }
    return byte;
}

std::uint16_t TApdComPort::OutBuffFree() const {
    impl_->settle();
    if (impl_->state_ != PortState::psOpen) {
        return OutSize;
    }
    Session& s = *impl_->session_;
    std::lock_guard<std::mutex> lock(s.outMutex);
    if (s.outFailed) {
        return static_cast<std::uint16_t>(s.out.capacity());  // refuses writes like a closed port
    }
    return static_cast<std::uint16_t>(s.out.free());
}

std::uint16_t TApdComPort::AddTimerTrigger() {
    impl_->settle();
    if (impl_->state_ == PortState::psClosed) {
        throw ECommNotOpen();
    }
    if (impl_->state_ == PortState::psShuttingDown) {
        return 0;
    }
    Session& s = *impl_->session_;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.triggers.add();
}

void TApdComPort::SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate) {
    impl_->settle();
    if (impl_->state_ == PortState::psClosed) {
        throw ECommNotOpen();
    }
    if (impl_->state_ == PortState::psShuttingDown) {
        return;
    }
    Session& s = *impl_->session_;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.triggers.set(handle, ticks, activate, impl_->nowTick());
        s.kick = true;
    }
    s.changed.notify_all();
}

}  // namespace lan2com
