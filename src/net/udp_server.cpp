#include "net/udp_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/datagram_socket.h"

namespace lan2com {

namespace {

// One datagram on its way: finished when its handler has returned, or, when the handler deferred
// it, when the completion is finished (or dropped), or when the endpoint stops.
class Delivery : public std::enable_shared_from_this<Delivery> {
  public:
    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    }
    bool finished() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_;
    }
    void waitFinished() {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return finished_; });
    }

    // Main thread, inside the handler.
    std::shared_ptr<DatagramCompletion> defer();
    bool deferred() const { return deferred_; }  // main thread

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool finished_ = false;
    bool deferred_ = false;                     // main thread only
    std::weak_ptr<DatagramCompletion> handle_;  // main thread only
};

// What the handler holds. Dropping the last reference without finish() finishes as well: a
// datagram that nobody will ever finish must not hold the listener for good.
class CompletionHandle final : public DatagramCompletion {
  public:
    explicit CompletionHandle(std::shared_ptr<Delivery> delivery)
        : delivery_(std::move(delivery)) {}
    ~CompletionHandle() override { delivery_->finish(); }
    void finish() override { delivery_->finish(); }
    bool finished() const override { return delivery_->finished(); }

  private:
    std::shared_ptr<Delivery> delivery_;
};

std::shared_ptr<DatagramCompletion> Delivery::defer() {
    if (auto existing = handle_.lock()) {
        return existing;
    }
    auto handle = std::make_shared<CompletionHandle>(shared_from_this());
    handle_ = handle;
    deferred_ = true;
    return handle;
}

// Lets one datagram of an endpoint at a time through to the main thread, across all of its
// listeners and across a stop and restart made inside a handler.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;
};

}  // namespace

// The main-thread side of an endpoint that outlives it for as long as one of its handlers runs.
struct EndpointState {
    TIdUDPServer* server = nullptr;     // null once the endpoint is destroyed
    std::shared_ptr<Delivery> current;  // the datagram whose handler runs (innermost)
    int handlersRunning = 0;
    std::vector<std::unique_ptr<TIdSocketHandle>> retired;  // cleared while a handler used them
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
};

// One listener: its socket, its stop signal and its thread's loop.
class TIdUDPListenerThread {
  public:
    TIdUDPListenerThread(Handover& handover, const std::shared_ptr<EndpointState>& endpoint,
                         TIdSocketHandle* binding, std::unique_ptr<net::DatagramSocket> socket,
                         std::size_t bufferSize)
        : handover_(handover),
          endpoint_(endpoint),
          gate_(endpoint->gate),
          binding_(binding),
          socket_(std::move(socket)),
          bufferSize_(bufferSize) {}

    net::DatagramSocket& socket() { return *socket_; }

    static void run(const std::shared_ptr<TIdUDPListenerThread>& self) { self->loop(self); }

    // Main thread: stop, and end the pending datagram. Never waits.
    void requestStop() {
        stopping_.store(true);
        stop_.raise();
        { std::lock_guard<std::mutex> lock(gate_->mutex); }
        gate_->changed.notify_all();
        std::shared_ptr<Delivery> pending;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pending = current_;
        }
        if (pending) {
            pending->finish();
        }
    }

    // Main thread: true once the thread has left its loop; waits at most the given time.
    bool waitExited(std::chrono::milliseconds time) {
        std::unique_lock<std::mutex> lock(mutex_);
        return exitedChanged_.wait_for(lock, time, [this] { return exited_; });
    }

    // Main thread only: the depth of this listener's handlers on the main thread's stack.
    int handlerDepth = 0;

  private:
    void loop(const std::shared_ptr<TIdUDPListenerThread>& self);
    bool enterGate();
    void leaveGate();
    static void deliver(const std::weak_ptr<TIdUDPListenerThread>& weak,
                        const std::shared_ptr<Delivery>& delivery,
                        const std::vector<std::uint8_t>& data, const std::string& peerIp,
                        std::uint16_t peerPort);

    Handover& handover_;
    const std::weak_ptr<EndpointState> endpoint_;
    const std::shared_ptr<Gate> gate_;
    TIdSocketHandle* const binding_;  // main thread only
    const std::unique_ptr<net::DatagramSocket> socket_;
    const std::size_t bufferSize_;
    net::StopSignal stop_;
    std::atomic<bool> stopping_{false};

    std::mutex mutex_;
    std::condition_variable exitedChanged_;
    bool exited_ = false;
    std::shared_ptr<Delivery> current_;
};

bool TIdUDPListenerThread::enterGate() {
    std::unique_lock<std::mutex> lock(gate_->mutex);
    gate_->changed.wait(lock, [this] { return !gate_->busy || stopping_.load(); });
    if (stopping_.load()) {
        return false;
    }
    gate_->busy = true;
    return true;
}

void TIdUDPListenerThread::leaveGate() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->busy = false;
    }
    gate_->changed.notify_all();
}

void TIdUDPListenerThread::loop(const std::shared_ptr<TIdUDPListenerThread>& self) {
    // An error that repeats must not turn the listener into a busy loop.
    const auto pause = std::chrono::milliseconds(50);
    std::vector<std::uint8_t> buffer(bufferSize_);
    while (!stopping_.load()) {
        const net::WaitResult wait = socket_->waitReadable(stop_);
        if (wait == net::WaitResult::Stopped) {
            break;
        }
        if (wait == net::WaitResult::Failed) {
            stop_.waitFor(pause);
            continue;
        }
        // Datagrams that arrive while another one of this endpoint is pending wait in the
        // socket's queue, in order.
        if (!enterGate()) {
            break;
        }
        net::Received r = socket_->receive(buffer.data(), buffer.size());
        if (r.kind != net::Received::Kind::Datagram) {
            leaveGate();
            if (r.kind == net::Received::Kind::Failed) {
                stop_.waitFor(pause);  // dropped; the listener goes on
            }
            continue;  // too long: discarded whole, no event
        }
        auto delivery = std::make_shared<Delivery>();
        bool stopped = false;
        {
            // Under the lock that requestStop() takes to end the pending datagram.
            std::lock_guard<std::mutex> lock(mutex_);
            stopped = stopping_.load();
            if (!stopped) {
                current_ = delivery;
            }
        }
        if (stopped) {
            leaveGate();
            break;
        }
        std::vector<std::uint8_t> data(buffer.begin(),
                                       buffer.begin() + static_cast<std::ptrdiff_t>(r.length));
        std::weak_ptr<TIdUDPListenerThread> weak = self;
        // Handed over without waiting for the call itself: the listener blocks once, until the
        // datagram is finished (when its handler returns, or later when the handler deferred
        // it), and wakes once. A stop finishes it as well; the call, should it still run, then
        // drops the datagram (a transceiver repeats an unanswered event).
        handover_.post([weak, delivery, data = std::move(data), ip = std::move(r.peerIp),
                        port = r.peerPort] { deliver(weak, delivery, data, ip, port); });
        delivery->waitFinished();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            current_.reset();
        }
        leaveGate();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = true;
    }
    exitedChanged_.notify_all();
}

// Main thread.
void TIdUDPListenerThread::deliver(const std::weak_ptr<TIdUDPListenerThread>& weak,
                                   const std::shared_ptr<Delivery>& delivery,
                                   const std::vector<std::uint8_t>& data, const std::string& peerIp,
                                   std::uint16_t peerPort) {
    const auto listener = weak.lock();
    const auto state = listener ? listener->endpoint_.lock() : nullptr;
    if (!state || state->server == nullptr || listener->stopping_.load()) {
        delivery->finish();
        return;
    }
    TIdSocketHandle& binding = *listener->binding_;
    binding.PeerIP = peerIp;
    binding.PeerPort = peerPort;
    // A copy: the handler may replace OnUDPRead or even destroy the endpoint.
    const TIdUDPServer::ReadEvent handler = state->server->OnUDPRead;

    ++listener->handlerDepth;
    ++state->handlersRunning;
    std::shared_ptr<Delivery> outer = std::exchange(state->current, delivery);
    bool failed = false;
    try {
        if (handler) {
            handler(*listener, data, binding);
        }
    } catch (...) {
        // A failure inside the read handler is dropped; the endpoint keeps listening, and the
        // datagram ends here even if the handler had deferred it.
        failed = true;
    }
    state->current = std::move(outer);
    --state->handlersRunning;
    --listener->handlerDepth;
    if (failed || !delivery->deferred()) {
        delivery->finish();
    }
    if (state->handlersRunning == 0) {
        state->retired.clear();
    }
}

namespace {

struct Listener {
    std::shared_ptr<TIdUDPListenerThread> core;
    std::thread thread;
};

// Listeners of endpoints destroyed inside their own read handler. Such a listener ends by itself
// just after that handler returns; it is joined by the next endpoint that is created, activated
// or destroyed, or at exit. Main thread only, like the endpoints.
class Orphans {
  public:
    static void adopt(Listener listener) {
        Orphans& o = get();
        if (!o.exitHookSet_) {
            // Registered now, so that it runs before the hand-overs that exist at this point are
            // destroyed at exit: the orphans are still inside theirs.
            std::atexit(&Orphans::atExit);
            o.exitHookSet_ = true;
        }
        o.list_.push_back(std::move(listener));
    }

    // Joins every orphan whose handler has returned (they end at once).
    static void reap() {
        auto& list = get().list_;
        for (auto it = list.begin(); it != list.end();) {
            if (it->core->handlerDepth == 0) {
                it->thread.join();
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }

  private:
    static Orphans& get() {
        static Orphans* orphans = new Orphans;  // never destroyed: atExit() may still need it
        return *orphans;
    }
    static void atExit() {
        reap();
        for (auto& listener : get().list_) {
            listener.thread.detach();  // exit from inside its handler: nothing left to wait for
        }
        get().list_.clear();
    }

    std::vector<Listener> list_;
    bool exitHookSet_ = false;
};

}  // namespace

// ---- TIdUDPServer ----

class TIdUDPServer::Impl {
  public:
    Impl(TIdUDPServer& server, Handover& handover) : server_(server), handover_(handover) {
        state->server = &server;
    }

    void activate();
    void deactivate();
    void clearBindings();
    void destroy();

    bool active = false;
    std::vector<std::unique_ptr<TIdSocketHandle>> bindings;
    std::shared_ptr<EndpointState> state = std::make_shared<EndpointState>();

    net::DatagramSocket& sendingSocket() {
        if (!active || listeners_.empty()) {
            throw EIdSocketError("Socket error: the endpoint is not active");
        }
        return listeners_.front().core->socket();
    }

  private:
    void awaitExit(Listener& listener);
    void reapParked(bool destroying);

    TIdUDPServer& server_;
    Handover& handover_;
    std::vector<Listener> listeners_;
    // Listeners stopped while their own handler was running on the main thread: joined once the
    // handler has returned, at the next activation or at destruction.
    std::vector<Listener> parked_;
};

void TIdUDPServer::Impl::activate() {
    if (active) {
        return;
    }
    Orphans::reap();
    reapParked(false);
    const bool created = bindings.empty();
    if (created) {
        auto binding = std::make_unique<TIdSocketHandle>();
        binding->Port = server_.DefaultPort;
        bindings.push_back(std::move(binding));
    }
    const std::size_t bufferSize =
        static_cast<std::size_t>(std::clamp(server_.BufferSize, 0, 65536));
    std::vector<Listener> started;
    try {
        // Every socket bound before any listener starts: a failure leaves nothing open.
        for (auto& binding : bindings) {
            auto socket = std::make_unique<net::DatagramSocket>();
            socket->bindAny(binding->Port);
            binding->Port = socket->localPort();  // the system's choice when the port was 0
            started.push_back({std::make_shared<TIdUDPListenerThread>(
                                   handover_, state, binding.get(), std::move(socket), bufferSize),
                               std::thread()});
        }
        for (auto& listener : started) {
            listener.thread = std::thread(&TIdUDPListenerThread::run, listener.core);
        }
    } catch (...) {
        for (auto& listener : started) {
            listener.core->requestStop();
            if (listener.thread.joinable()) {
                listener.thread.join();  // nothing handed over yet: it ends at once
            }
            listener.core->socket().close();
        }
        if (created) {
            bindings.clear();
        }
        try {
            throw;
        } catch (const std::system_error& e) {
            throw EIdSocketError(std::string("Socket error: cannot start the listener: ") +
                                 e.what());
        }
    }
    listeners_ = std::move(started);
    active = true;
}

void TIdUDPServer::Impl::awaitExit(Listener& listener) {
    // A listener that handed its datagram over after the first cancel() would wait for the main
    // thread for good: cancel again until it has left.
    while (!listener.core->waitExited(std::chrono::milliseconds(5))) {
        handover_.cancel(&server_);
    }
    listener.thread.join();
}

void TIdUDPServer::Impl::deactivate() {
    if (!active) {
        return;
    }
    active = false;
    std::vector<Listener> stopping = std::move(listeners_);
    listeners_.clear();
    for (auto& listener : stopping) {
        listener.core->requestStop();
    }
    handover_.cancel(&server_);
    for (auto& listener : stopping) {
        if (listener.core->handlerDepth > 0) {
            // Called from inside this listener's own handler: its thread cannot end before the
            // handler returns. It touches its socket no more, so the port is released now.
            listener.core->socket().close();
            parked_.push_back(std::move(listener));
        } else {
            awaitExit(listener);
            listener.core->socket().close();
        }
    }
    reapParked(false);
}

void TIdUDPServer::Impl::reapParked(bool destroying) {
    for (auto it = parked_.begin(); it != parked_.end();) {
        if (it->core->handlerDepth == 0) {
            awaitExit(*it);  // its handler has returned: it ends at once
            it = parked_.erase(it);
        } else if (destroying) {
            Orphans::adopt(std::move(*it));
            it = parked_.erase(it);
        } else {
            ++it;
        }
    }
}

void TIdUDPServer::Impl::clearBindings() {
    deactivate();  // the listeners use the bindings
    if (state->handlersRunning > 0) {
        for (auto& binding : bindings) {
            state->retired.push_back(std::move(binding));
        }
    }
    bindings.clear();
}

void TIdUDPServer::Impl::destroy() {
    deactivate();
    clearBindings();
    state->server = nullptr;
    reapParked(true);
    Orphans::reap();
}

TIdUDPServer::TIdUDPServer(Handover& handover, std::uint16_t defaultPort)
    : DefaultPort(defaultPort), impl_(std::make_unique<Impl>(*this, handover)) {
    Orphans::reap();
}

TIdUDPServer::~TIdUDPServer() {
    impl_->destroy();
}

bool TIdUDPServer::Active() const {
    return impl_->active;
}

void TIdUDPServer::SetActive(bool active) {
    if (active) {
        impl_->activate();
    } else {
        impl_->deactivate();
    }
}

std::vector<std::unique_ptr<TIdSocketHandle>>& TIdUDPServer::Bindings() {
    return impl_->bindings;
}

void TIdUDPServer::ClearBindings() {
    impl_->clearBindings();
}

TIdSocketHandle& TIdUDPServer::Binding() {
    if (!impl_->active && impl_->bindings.empty()) {
        impl_->activate();
    }
    if (impl_->bindings.empty()) {
        throw EIdSocketError("Socket error: the endpoint has no binding");
    }
    return *impl_->bindings.front();
}

void TIdUDPServer::Send(const std::string& host, std::uint16_t port, const std::string& text) {
    const std::vector<std::uint8_t> bytes = asciiBytes(text);
    impl_->sendingSocket().sendTo(host, port, bytes.data(), bytes.size());
}

std::shared_ptr<DatagramCompletion> TIdUDPServer::DeferCompletion() {
    if (!impl_->state->current) {
        throw std::logic_error("DeferCompletion() is valid only inside the read handler");
    }
    return impl_->state->current->defer();
}

std::vector<std::uint8_t> asciiBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        // One '?' per character: a whole UTF-8 sequence counts once, any other byte by itself.
        std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 1;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
                length = 1;
                break;
            }
        }
        out.push_back('?');
        i += length;
    }
    return out;
}

}  // namespace lan2com
