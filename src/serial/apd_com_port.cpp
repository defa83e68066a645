// The serial port component: buffers, triggers, the port's thread and the hand-over of its events
// to the main thread, over a device backend (serial_device.h).
//
// The thread. An open port runs one thread of its own, which owns the device. It waits
// (poll / WaitForMultipleObjects) until the device has bytes for it or can take more output, until
// the nearest armed trigger's deadline, or until it is woken. It reads what has arrived, writes
// what PutChar appended to the output buffer, and hands the port's events to the main thread one
// at a time, in their order: data available, a failure of the device, then the timer triggers.
// It never waits for the main thread: it posts the event and goes back to the device. While an
// event is with the main thread, bytes that arrive wait in the inbound queue, so the receive
// buffer a handler reads from does not change under it; the next event is handed over once the
// handler has returned. An event the main thread has not started within kHandoverLimit is
// withdrawn and handed over again later.
//
// Bytes that PutChar appends while the thread holds none go to the device from the main thread
// instead, all together once the running event handler has returned (Handover::atCallEnd; outside
// a handler at once), as far as the device takes them without waiting; only the rest is left to
// the thread.
//
// The main thread wakes the thread only for what it must look at at once: a handler returned with
// more to hand over, a trigger due earlier than the thread's planned wake-up, room made in a full
// receive buffer, output the device did not take, a close. An open port with nothing armed and no
// traffic wakes no thread at all.
//
// Locks: `mutex` guards the receive buffer, the inbound queue, the trigger set and the flags shared
// with the thread; `outMutex` guards the output buffer. No lock is held while a handler runs, so a
// handler may call every operation on its own port.

#include <algorithm>
#include <atomic>
#include <chrono>
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
constexpr std::size_t kReadBlock = 256;
// An event the main thread has not started within this time is withdrawn ...
constexpr std::chrono::milliseconds kHandoverLimit{3000};
// ... and handed over again this much later at the earliest.
constexpr std::chrono::milliseconds kRetryPause{50};

using SteadyTime = std::chrono::steady_clock::time_point;

// One event handed to the main thread: the main thread starts it unless it has been withdrawn
// first (by the port's thread when the limit has passed, or by a close).
class HandedEvent {
  public:
    bool start() { return move(State::Started); }
    bool withdraw() { return move(State::Withdrawn); }
    bool started() const { return state_.load() == State::Started; }

  private:
    enum class State { Queued, Started, Withdrawn };
    bool move(State to) {
        State from = State::Queued;
        return state_.compare_exchange_strong(from, to);
    }
    std::atomic<State> state_{State::Queued};
};

class SystemDevices final : public SerialDeviceOpener {
  public:
    std::unique_ptr<SerialDevice> open(std::uint16_t number, const LineSettings& line) override {
        return openSerialDevice(number, line);
    }
};

}  // namespace

// The open device of a port with its buffers and thread; lives from an open to the end of the
// matching close.
struct Session {
    std::uint16_t number = 0;
    std::unique_ptr<SerialDevice> device;  // reset under `mutex` once the thread has ended

    std::mutex mutex;
    ByteRing rx{kReceiveBufferSize};
    // Bytes read, waiting for room in rx and for no event to be with the main thread (so that
    // rx does not change under a handler).
    ByteRing inbound{kReceiveBufferSize};
    TriggerSet triggers;
    bool stop = false;
    bool newData = false;  // bytes entered rx since the last data-available event
    bool failed = false;   // the device failed; failure says how
    bool failureReported = false;
    std::string failure;

    // The event with the main thread, and what undoes it should it be withdrawn.
    std::shared_ptr<HandedEvent> handed;
    enum class Kind { Avail, Failure, Timer } handedKind = Kind::Avail;
    TriggerSet::Firing handedFiring;
    SteadyTime handedLimit;
    bool retrying = false;  // an event was withdrawn: nothing is handed over before retryAt
    SteadyTime retryAt;
    // The thread waits on the device (or is about to); it plans to look again at wakeAtMs on the
    // tick clock when hasWakeAt, else only when woken or the device is ready.
    bool asleep = false;
    bool hasWakeAt = false;
    std::uint32_t wakeAtMs = 0;

    std::mutex outMutex;
    ByteRing out;
    bool outFailed = false;      // PutChar refuses: the device has failed
    bool threadHolds = false;    // the thread has taken bytes out of `out` not all written yet
    bool flushArranged = false;  // flushOut() of this session is due on the main thread
    std::vector<std::uint8_t> scratch;  // flushOut()'s copy of the buffer

    std::thread thread;

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

    void portLoop(Session& s);
    void handOverNext(Session& s);
    void withdrawHanded(Session& s);
    void runEvent(Session& s, Session::Kind kind, std::uint16_t value, const std::string& message);
    void endEvent(Session& s);
    std::chrono::milliseconds planWake(Session& s, std::optional<SteadyTime> deadline);
    void writeOutput(Session& s, std::vector<std::uint8_t>& block, std::size_t& sent);
    void readAvailable(Session& s, std::uint8_t* buffer);
    void failDevice(Session& s, const std::string& what);
    std::optional<std::uint32_t> msToNextExpiry(const Session& s, std::uint32_t nowMs) const;
    bool triggerDueBeforePlan(const Session& s) const;
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
    session->triggers.setThreshold(port_.TriggerLength);
    if (hasSaved_) {
        session->triggers.restore(saved_);
    }

    Session& s = *session;
    try {
        s.thread = std::thread([this, &s] { portLoop(s); });
    } catch (const std::system_error& e) {
        throw EOpenFailed("Cannot open COM" + std::to_string(comNumber_) +
                          ": cannot start the port's thread (" + e.what() + ")");
    }

    session_ = std::move(session);
    state_ = PortState::psOpen;
    if (port_.RS485Mode) {
        port_.RTS = false;  // the driver drives RTS now
    }

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
        // An event not started yet stays undelivered: a timer trigger's comes after a reopen.
        withdrawHanded(s);
        saved_ = s.triggers.save();
        hasSaved_ = true;
        s.stop = true;
    }
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.out.clear();
    }
    s.device->wake();
    if (handlerDepth_ > 0) {
        // Called from inside one of this port's handlers: the rest happens once that handler has
        // returned.
        finishPending_ = true;
        return;
    }
    finishClose();
}

void TApdComPort::Impl::finishClose() {
    finishPending_ = false;
    if (!session_) {
        return;
    }
    Session& s = *session_;
    s.thread.join();  // it never waits for the main thread: it ends at once
    s.device->purge();
    s.device.reset();  // closes the device
    session_.reset();
    state_ = PortState::psClosed;
}

// ---- The port's thread ----

void TApdComPort::Impl::failDevice(Session& s, const std::string& what) {
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.outFailed = true;
        s.out.clear();
    }
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.failed) {
        s.failed = true;
        s.failure = "COM" + std::to_string(s.number) + ": " + what;
    }
}

void TApdComPort::Impl::readAvailable(Session& s, std::uint8_t* buffer) {
    for (;;) {
        std::size_t room;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            room = s.inbound.free();
        }
        if (room == 0) {
            return;  // the rest waits in the driver until there is room
        }
        const long n = s.device->read(buffer, std::min(room, kReadBlock));
        if (n < 0) {
            failDevice(s, "device lost (" + s.device->error() + ")");
            return;
        }
        if (n == 0) {
            return;
        }
        std::lock_guard<std::mutex> lock(s.mutex);
        s.inbound.push(buffer, static_cast<std::size_t>(n));
    }
}

// Writes what the thread holds and then what has been appended since, until everything is
// written, the device takes nothing more at present, or it fails.
void TApdComPort::Impl::writeOutput(Session& s, std::vector<std::uint8_t>& block,
                                    std::size_t& sent) {
    SerialDevice& device = *s.device;
    for (;;) {
        if (sent == block.size()) {
            block.clear();
            sent = 0;
            std::lock_guard<std::mutex> lock(s.outMutex);
            s.out.takeInto(block, s.out.size());  // the buffer is free again at once
            s.threadHolds = !block.empty();
            if (block.empty()) {
                return;
            }
        }
        while (sent < block.size()) {
            const long n = device.write(block.data() + sent, block.size() - sent);
            if (n < 0) {
                failDevice(s, "write failed (" + device.error() + ")");
                return;
            }
            if (n == 0) {
                return;  // the device takes nothing now: wait until it can
            }
            sent += static_cast<std::size_t>(n);
        }
    }
}

// Milliseconds from nowMs until the nearest armed trigger expires (0 when it has); nothing when
// none is armed.
std::optional<std::uint32_t> TApdComPort::Impl::msToNextExpiry(const Session& s,
                                                               std::uint32_t nowMs) const {
    const std::uint32_t tick = toTicks(nowMs);
    const std::optional<std::uint32_t> ticks = s.triggers.ticksToNextExpiry(tick);
    if (!ticks) {
        return std::nullopt;
    }
    // The expiry falls on the first millisecond of tick `tick + ticks`, counted across the wrap
    // of the 32-bit millisecond clock. A trigger is armed for less than 2^31 ms.
    const std::uint32_t target = tick + *ticks;
    const std::uint64_t targetMs =
        target > TriggerSet::kLastTick
            ? (std::uint64_t{1} << 32) + std::uint64_t{target - TriggerSet::kTickPeriod} * kTickMs
            : std::uint64_t{target} * kTickMs;
    return static_cast<std::uint32_t>(targetMs > nowMs ? targetMs - nowMs : 0);
}

// Under the session's mutex: whether a trigger is now due (or has expired) before the time the
// sleeping thread planned to look again. A trigger disarmed or moved later needs no wake-up: the
// thread then finds nothing due at its planned time and plans anew.
bool TApdComPort::Impl::triggerDueBeforePlan(const Session& s) const {
    const std::uint32_t nowMs = svc_.clock.nowMs();
    const std::optional<std::uint32_t> delay = msToNextExpiry(s, nowMs);
    return delay && (!s.hasWakeAt || static_cast<std::int32_t>(nowMs + *delay - s.wakeAtMs) < 0);
}

// Under the session's mutex: how long the thread may sleep. It plans to look again when the
// nearest armed trigger expires; with nothing armed, a wake-up planned earlier that is still ahead
// is kept, so that a trigger armed later than that needs no wake-up (the relay disarms and rearms
// its time-out for every event), at the cost of one needless look at the planned time. A
// deadline on the steady clock (the hand-over limit, a retry) can end the sleep earlier.
std::chrono::milliseconds TApdComPort::Impl::planWake(Session& s,
                                                      std::optional<SteadyTime> deadline) {
    // Tick-clock times are compared as signed differences across the wrap of its milliseconds.
    const std::uint32_t nowMs = svc_.clock.nowMs();
    if (const std::optional<std::uint32_t> delay = msToNextExpiry(s, nowMs)) {
        s.hasWakeAt = true;
        s.wakeAtMs = nowMs + *delay;
    } else if (s.hasWakeAt && static_cast<std::int32_t>(s.wakeAtMs - nowMs) <= 0) {
        s.hasWakeAt = false;
    }
    if ((s.handed || s.retrying) && s.hasWakeAt &&
        static_cast<std::int32_t>(s.wakeAtMs - nowMs) <= 0) {
        // A trigger due now waits for the event with the main thread (or the retry): nothing
        // planned, so that the event's end wakes the thread, which must not look every
        // millisecond meanwhile.
        s.hasWakeAt = false;
    }
    auto sleep = std::chrono::milliseconds::max();
    if (s.hasWakeAt) {
        // One millisecond more: an expiry is the first millisecond of its tick.
        sleep = std::chrono::milliseconds(
            std::max(static_cast<std::int32_t>(s.wakeAtMs - nowMs), std::int32_t{0}) + 1);
    }
    if (deadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            *deadline - std::chrono::steady_clock::now());
        sleep = std::min(sleep, std::max(left, std::chrono::milliseconds(0)));
    }
    return sleep;
}

// Under the session's mutex: takes back the event handed to the main thread if it has not been
// started; it is handed over again later.
void TApdComPort::Impl::withdrawHanded(Session& s) {
    if (!s.handed || !s.handed->withdraw()) {
        return;
    }
    switch (s.handedKind) {
        case Session::Kind::Avail:
            s.newData = true;  // the bytes are still unread
            break;
        case Session::Kind::Failure:
            s.failureReported = false;
            break;
        case Session::Kind::Timer:
            s.triggers.undoFire(s.handedFiring);  // still expired
            break;
    }
    s.handed.reset();
    s.retrying = true;
    s.retryAt = std::chrono::steady_clock::now() + kRetryPause;
}

// Under the session's mutex, on the port's thread: moves arrived bytes into the receive buffer
// and hands the first due event to the main thread, unless one is with it already. The order is
// that of the events: data available, a failure of the device, then the first expired timer
// trigger (the walk starts again from the top after each event).
void TApdComPort::Impl::handOverNext(Session& s) {
    if (s.handed) {
        if (!s.handed->started() && std::chrono::steady_clock::now() >= s.handedLimit) {
            withdrawHanded(s);
        }
        return;
    }
    if (!s.inbound.empty() && s.rx.free() > 0) {
        const std::size_t n = std::min(s.inbound.size(), s.rx.free());
        for (std::size_t i = 0; i < n; ++i) {
            s.rx.push(s.inbound.peek(i));
        }
        s.inbound.drop(n);
        s.newData = true;
    }
    if (s.retrying) {
        if (std::chrono::steady_clock::now() < s.retryAt) {
            return;
        }
        s.retrying = false;
    }

    std::uint16_t value = 0;
    std::string message;
    const std::uint16_t threshold = s.triggers.threshold();
    if (threshold != 0 && s.newData && s.rx.size() >= threshold) {
        s.handedKind = Session::Kind::Avail;
        value = static_cast<std::uint16_t>(std::min<std::size_t>(s.rx.size(), 0xFFFF));
        s.newData = false;
    } else if (s.failed && !s.failureReported) {
        s.handedKind = Session::Kind::Failure;
        message = s.failure;
        s.failureReported = true;
    } else if (const std::optional<TriggerSet::Firing> firing =
                   s.triggers.firstExpired(nowTick())) {
        s.handedKind = Session::Kind::Timer;
        s.handedFiring = *firing;
        s.triggers.beginFire(*firing);
        value = firing->handle;
    } else {
        return;
    }
    auto event = std::make_shared<HandedEvent>();
    s.handed = event;
    s.handedLimit = std::chrono::steady_clock::now() + kHandoverLimit;
    Session* session = &s;
    const Session::Kind kind = s.handedKind;
    svc_.handover.post([this, event, session, kind, value, message] {
        // A withdrawn event is not touched: its port may be closed or gone by now.
        if (event->start()) {
            runEvent(*session, kind, value, message);
        }
    });
}

void TApdComPort::Impl::portLoop(Session& s) {
    std::vector<std::uint8_t> block;  // output taken from the buffer, not yet all written
    std::size_t sent = 0;
    std::uint8_t buffer[kReadBlock];

    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.stop) {
        if (!s.failed) {
            lock.unlock();
            writeOutput(s, block, sent);  // a failure is handed over below
            lock.lock();
            if (s.stop) {
                break;
            }
        }
        // From here to the wait the lock is held, so that whatever the main thread changes
        // meanwhile finds the thread asleep and wakes it if it must.
        handOverNext(s);
        const bool failed = s.failed;
        const bool wantRead = !failed && s.inbound.free() > 0;
        const bool wantWrite = !failed && sent < block.size();
        std::optional<SteadyTime> deadline;
        if (s.handed && !s.handed->started()) {
            deadline = s.handedLimit;
        } else if (s.retrying) {
            deadline = s.retryAt;
        }
        const std::chrono::milliseconds sleep = planWake(s, deadline);
        std::optional<std::chrono::milliseconds> timeout;
        if (sleep != std::chrono::milliseconds::max()) {
            timeout = sleep;
        }
        s.asleep = true;
        lock.unlock();
        const SerialDevice::Ready ready = s.device->wait(wantRead, wantWrite, !failed, timeout);
        if (!failed) {
            if (ready.readable && wantRead) {
                readAvailable(s, buffer);
            }
            if (ready.failed) {
                failDevice(s, "device lost (" + ready.error + ")");
            }
        }
        lock.lock();
        s.asleep = false;
    }
}

// Main thread: hands the output buffer to the device when the port's thread holds no bytes, as
// far as the device takes them at once; wakes the thread for the rest.
void TApdComPort::Impl::flushOut(Session& s) {
    bool rest = false;
    {
        std::lock_guard<std::mutex> lock(s.outMutex);
        s.flushArranged = false;
        if (s.outFailed || s.threadHolds || s.out.empty()) {
            return;  // the thread writes first what it holds, then the buffer
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

// ---- Events ----

void TApdComPort::Impl::runHandler(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        svc_.errors.report(e.what());
    } catch (...) {
        svc_.errors.report("Unknown failure in a serial port event handler");
    }
}

// Main thread: runs a handed-over event. No other event of the port is handed over meanwhile,
// and the receive buffer only shrinks through GetChar.
void TApdComPort::Impl::runEvent(Session& s, Session::Kind kind, std::uint16_t value,
                                 const std::string& message) {
    ++handlerDepth_;
    switch (kind) {
        case Session::Kind::Avail:
            s.inAvail = true;
            s.cursor = 0;
            runHandler([this, value] {
                if (port_.OnTriggerAvail) {
                    port_.OnTriggerAvail(port_, value);
                }
            });
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.rx.drop(s.cursor);  // what the handler read is consumed, even if it failed
                s.inAvail = false;
                s.cursor = 0;
            }
            break;
        case Session::Kind::Failure:
            runHandler([this, &message] {
                if (port_.OnPortError) {
                    port_.OnPortError(port_, message);
                }
            });
            break;
        case Session::Kind::Timer:
            runHandler([this, value] {
                if (port_.OnTriggerTimer) {
                    port_.OnTriggerTimer(port_, value);
                }
            });
            break;
    }
    endEvent(s);
    if (--handlerDepth_ == 0 && finishPending_) {
        // The close asked for inside the handler ends once the handler has returned.
        std::weak_ptr<int> alive = alive_;
        svc_.handover.post([this, alive] {
            if (alive.lock()) {
                settle();
            }
        });
    }
}

// Main thread, once an event's handler has returned: the port's next event may be handed over.
// The thread is woken only if it has something to do before it would look anyway.
void TApdComPort::Impl::endEvent(Session& s) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.handed.reset();
        wake =
            s.asleep && !s.stop &&
            (!s.inbound.empty() ||
             (s.newData && s.rx.size() >= s.triggers.threshold() && s.triggers.threshold() != 0) ||
             (s.failed && !s.failureReported) || triggerDueBeforePlan(s));
    }
    if (wake) {
        s.device->wake();
    }
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
    bool wakeThread = false;
    bool arrange = false;
    {
        std::unique_lock<std::mutex> lock(s.outMutex);
        if (s.outFailed) {
            throw ECommNotOpen();
        }
        if (s.out.free() < 1 && !s.threadHolds) {
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
        if (s.threadHolds) {
            wakeThread = wasEmpty;  // otherwise a wake-up is on its way already
        } else if (!s.flushArranged) {
            s.flushArranged = true;
            arrange = true;
        }
    }
    if (wakeThread) {
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
    std::uint8_t byte = 0;
    bool wake = false;
    {
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
        byte = s.rx.peek(0);
        s.rx.drop(1);
        wake = s.asleep && !s.handed && !s.inbound.empty();  // room for bytes read already
    }
    if (wake) {
        s.device->wake();
    }
    return byte;
}

std::size_t TApdComPort::UnreadCount() const {
    impl_->settle();
    if (impl_->state_ != PortState::psOpen) {
        return 0;
    }
    Session& s = *impl_->session_;
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.inAvail ? s.rx.size() - std::min(s.cursor, s.rx.size()) : s.rx.size();
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
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.triggers.set(handle, ticks, activate, impl_->nowTick());
        wake = s.asleep && impl_->triggerDueBeforePlan(s);
    }
    if (wake) {
        s.device->wake();  // outside the lock, which the woken thread takes at once
    }
}

}  // namespace lan2com
