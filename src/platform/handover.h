#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lan2com {

// Hand-over of endpoint events to the main thread.
//
// All of the system's logic runs on the main thread. The threads inside the serial ports and the
// datagram endpoints post each event; the main thread runs posted calls from its event loop, one
// after another, in the order in which they were posted. An endpoint learns that its event has
// been handled from the event itself (it marks its end), so no endpoint thread ever waits for the
// main thread.
class Handover {
  public:
    using Duration = std::chrono::milliseconds;

    virtual ~Handover() = default;

    // Any thread: queues fn for the main thread without waiting for it.
    virtual void post(std::function<void()> fn) = 0;

    // Main thread: runs fn as soon as the posted call that is running has returned, before the
    // next one starts, or earlier from an event loop nested in that call; at once when no posted
    // call runs (or on another thread). Lets the many small steps of one handler end in one piece
    // of work, such as one device write.
    virtual void atCallEnd(std::function<void()> fn) = 0;

    virtual bool isMainThread() const = 0;
};

// The queue behind every hand-over. The main thread is the thread that constructs it. The Qt
// event loop drives it in the program (see QtHandover); tests and tools drive it with pumpUntil().
class QueueHandover : public Handover {
  public:
    QueueHandover();

    void post(std::function<void()> fn) override;
    void atCallEnd(std::function<void()> fn) override;
    bool isMainThread() const override;

    // Main thread: runs the calls queued so far, in order; answers how many ran.
    std::size_t runPending();

    // Main thread: runs calls as they arrive until pred() holds or the timeout passes; answers
    // pred(). Never busy-waits: between calls it sleeps until the next one is posted.
    bool pumpUntil(const std::function<bool()>& pred, Duration timeout);

    // Main thread: runs calls as they arrive for the given time.
    void pumpFor(Duration time);

    // What happens to an exception that escapes a posted call (the default is to drop it).
    void setUncaughtHandler(std::function<void(const std::string&)> handler);

  protected:
    // Asks the main thread to call runPending() soon; called after each new call is queued.
    virtual void wake() {}

    // Sees to it that an event loop nested in the running call runs what waits for the call's
    // end (runAtCallEnd()); called when the first such piece is deferred. By default a posted call
    // does it.
    virtual void arrangeCallEnd() {
        post([this] { runAtCallEnd(); });
    }

    // Main thread: runs what waits for the end of the running call.
    void runAtCallEnd();

  private:
    void runOne(std::function<void()>& fn);

    std::thread::id mainThread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;  // a call was posted; only the main thread waits on it
    std::deque<std::function<void()>> queue_;
    std::function<void(const std::string&)> uncaught_;
    int running_ = 0;                               // main thread: calls inside runOne()
    std::vector<std::function<void()>> atCallEnd_;  // main thread only
};

}  // namespace lan2com
