#include "net/udp_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "net/datagram_socket.h"

namespace lan2com {

namespace {

// Lets one datagram of an endpoint at a time through to the main thread, across all of its
// listeners and across a stop and restart made inside a handler.
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool busy = false;

    void leave() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            busy = false;
        }
        changed.notify_all();
    }
};

// One datagram on its way, holding its endpoint's gate: finished when its handler has returned,
// or, when the handler deferred it, when the completion is finished (or dropped), or when the
// endpoint stops. Finishing opens the gate for the endpoint's next datagram; the listener does not
// wait for it but for that next datagram, so a finished datagram wakes nobody.
class Delivery : public std::enable_shared_from_this<Delivery> {
  public:
    explicit Delivery(std::shared_ptr<Gate> gate) : gate_(std::move(gate)) {}

    void finish() {
        if (!finished_.exchange(true)) {
            gate_->leave();
        }
    }
    bool finished() const { return finished_.load(); }

    // Main thread, inside the handler.
    std::shared_ptr<DatagramCompletion> defer();
    bool deferred() const { return deferred_; }  // main thread

  private:
    const std::shared_ptr<Gate> gate_;
    std::atomic<bool> finished_{false};
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

  private:
    void loop(const std::shared_ptr<TIdUDPListenerThread>& self);
    bool enterGate();
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
    std::shared_ptr<Delivery> current_;  // the last datagram handed over; a stop finishes it
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
            gate_->leave();
            if (r.kind == net::Received::Kind::Failed) {
                stop_.waitFor(pause);  // dropped; the listener goes on
            }
            continue;  // too long: discarded whole, no event
        }
        auto delivery = std::make_shared<Delivery>(gate_);
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
            gate_->leave();
            break;
        }
        std::vector<std::uint8_t> data(buffer.begin(),
                                       buffer.begin() + static_cast<std::ptrdiff_t>(r.length));
        std::weak_ptr<TIdUDPListenerThread> weak = self;
        // Handed over without waiting for it: the listener goes back to wait for the next
        // datagram, which passes the gate once this one is finished (when its handler returns,
        // or later when the handler deferred it). A stop finishes it as well; the call, should
        // it still run, then drops the datagram (a transceiver repeats an unanswered event).
        handover_.post([weak, delivery, data = std::move(data), ip = std::move(r.peerIp),
                        port = r.peerPort] { deliver(weak, delivery, data, ip, port); });
    }
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
    TIdUDPServer& server_;
    Handover& handover_;
    std::vector<Listener> listeners_;
};

void TIdUDPServer::Impl::activate() {
    if (active) {
        return;
    }
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
    // A listener never waits for the main thread, so it ends at once, even while its own handler
    // runs (the handler keeps the listener's state alive).
    for (auto& listener : stopping) {
        listener.thread.join();
        listener.core->socket().close();
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
}

TIdUDPServer::TIdUDPServer(Handover& handover, std::uint16_t defaultPort)
    : DefaultPort(defaultPort), impl_(std::make_unique<Impl>(*this, handover)) {}

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
