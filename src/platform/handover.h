#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lan2com {

// Hand-over of endpoint events to the main thread.
//
// All of the system's logic runs on the main thread. The threads inside the serial ports and the
// datagram endpoints hand each event over with invoke() and block until the main thread has run
// it. The main thread runs handed-over calls from its event loop, one after another, in the order
// in which they were handed over.
class Handover {
  public:
    using Duration = std::chrono::milliseconds;
    static constexpr Duration kForever = Duration::max();

    virtual ~Handover() = default;

    // Endpoint thread: runs fn on the main thread and blocks until it has returned. Answers false,
    // without running fn, when the main thread has not started it within the timeout or when the
    // owner's calls are cancelled. A call that has started is always waited for to its end (the
    // handlers never block). Called on the main thread itself, fn runs at once.
    virtual bool invoke(const void* owner, std::function<void()> fn, Duration timeout) = 0;

    // Main thread: drops every call of owner that has not started yet; their invokers return
    // false at once. Used while an endpoint stops, so that stopping never waits on itself.
    virtual void cancel(const void* owner) = 0;

    // Any thread: queues fn for the main thread without waiting for it.
    virtual void post(std::function<void()> fn) = 0;

    // Main thread: runs fn as soon as the handed-over call that is running has returned, before
    // its invoker goes on, or earlier from an event loop nested in that call; at once when no
    // handed-over call runs (or on another thread). Lets the many small steps of one handler
    // end in one piece of work, such as one device write.
    virtual void atCallEnd(std::function<void()> fn) = 0;

    virtual bool isMainThread() const = 0;
};

// The queue behind every hand-over. The main thread is the thread that constructs it. The Qt
// event loop drives it in the program (see QtHandover); tests and tools drive it with pumpUntil().
class QueueHandover : public Handover {
  public:
    QueueHandover();
    ~QueueHandover() override;

    bool invoke(const void* owner, std::function<void()> fn, Duration timeout) override;
    void cancel(const void* owner) override;
    void post(std::function<void()> fn) override;
    void atCallEnd(std::function<void()> fn) override;
    bool isMainThread() const override;

    // Main thread: runs the calls queued so far, in order; answers how many ran.
    std::size_t runPending();

    // Main thread: runs calls as they arrive until pred() holds or the timeout passes; answers
    // pred(). Never busy-waits: between calls it sleeps until the next one is handed over.
    bool pumpUntil(const std::function<bool()>& pred, Duration timeout);

    // Main thread: runs calls as they arrive for the given time.
    void pumpFor(Duration time);

    // What happens to an exception that escapes a handed-over call (the default is to drop it).
    void setUncaughtHandler(std::function<void(const std::string&)> handler);

  protected:
    // Asks the main thread to call runPending() soon; called after each new call is queued.
    virtual void wake() {}

  private:
    enum class State { Queued, Running, Done, Dropped };
    struct Call {
        const void* owner = nullptr;
        std::function<void()> fn;
        State state = State::Queued;
        std::condition_variable finished;  // Done or Dropped; only its invoker waits on it
    };

    void runOne(const std::shared_ptr<Call>& call);
    void runAtCallEnd();

    std::thread::id mainThread_;
    mutable std::mutex mutex_;
    // A new call came; only the main thread waits on it. Each invoker waits on its own call, so
    // that a finished call wakes nobody but its invoker.
    std::condition_variable changed_;
    std::deque<std::shared_ptr<Call>> queue_;
    std::function<void(const std::string&)> uncaught_;
    int running_ = 0;                               // main thread: calls inside runOne()
    std::vector<std::function<void()>> atCallEnd_;  // main thread only
};

}  // namespace lan2com
