#include "platform/handover.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace lan2com {

QueueHandover::QueueHandover() : mainThread_(std::this_thread::get_id()) {}

QueueHandover::~QueueHandover() {
    // Nobody may stay blocked on a queue that is going away.
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& call : queue_) {
        call->state = State::Dropped;
        call->finished.notify_all();
    }
    queue_.clear();
    changed_.notify_all();
}

bool QueueHandover::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

bool QueueHandover::invoke(const void* owner, std::function<void()> fn, Duration timeout) {
    if (isMainThread()) {
        fn();
        return true;
    }
    auto call = std::make_shared<Call>();
    call->owner = owner;
    call->fn = std::move(fn);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(call);
    }
    changed_.notify_all();
    wake();

    std::unique_lock<std::mutex> lock(mutex_);
    auto finished = [&] { return call->state == State::Done || call->state == State::Dropped; };
    if (timeout == kForever) {
        call->finished.wait(lock, finished);
    } else if (!call->finished.wait_for(lock, timeout, finished)) {
        if (call->state == State::Queued) {
            call->state = State::Dropped;  // runPending() skips it
            return false;
        }
        call->finished.wait(lock, finished);  // running: the handler is short and never blocks
    }
    return call->state == State::Done;
}

void QueueHandover::cancel(const void* owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& call : queue_) {
        if (call->owner == owner && call->state == State::Queued) {
            call->state = State::Dropped;
            call->finished.notify_all();
        }
    }
}

void QueueHandover::post(std::function<void()> fn) {
    auto call = std::make_shared<Call>();
    call->fn = std::move(fn);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(call));
    }
    changed_.notify_all();
    wake();
}

void QueueHandover::setUncaughtHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    uncaught_ = std::move(handler);
}

void QueueHandover::atCallEnd(std::function<void()> fn) {
    if (running_ == 0 || !isMainThread()) {
        fn();
        return;
    }
    atCallEnd_.push_back(std::move(fn));
    if (atCallEnd_.size() == 1) {
        // Should the call run a nested event loop (a modal message box), that loop runs it too,
        // rather than leaving it until the box is closed.
        post([this] { runAtCallEnd(); });
    }
}

void QueueHandover::runAtCallEnd() {
    while (!atCallEnd_.empty()) {
        std::vector<std::function<void()>> due;
        due.swap(atCallEnd_);
        for (auto& fn : due) {
            try {
                fn();
            } catch (...) {
            }
        }
    }
}

void QueueHandover::runOne(const std::shared_ptr<Call>& call) {
    ++running_;
    try {
        call->fn();
    } catch (const std::exception& e) {
        std::function<void(const std::string&)> uncaught;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            uncaught = uncaught_;
        }
        if (uncaught) {
            uncaught(e.what());
        }
    } catch (...) {
    }
    --running_;
    runAtCallEnd();      // what the call left for its end, unless a nested loop has run it already
    call->fn = nullptr;  // nobody else touches fn once the call has started
    {
        std::lock_guard<std::mutex> lock(mutex_);
        call->state = State::Done;
    }
    // Outside the lock: the woken invoker needs it at once. `call` stays alive through our own
    // reference until the notification is done.
    call->finished.notify_all();
}

std::size_t QueueHandover::runPending() {
    // One call at a time off the front, so that a call which itself processes events (a modal
    // message box) can run the calls behind it without running any twice.
    std::size_t ran = 0;
    std::size_t budget;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        budget = queue_.size();
    }
    while (budget-- > 0) {
        std::shared_ptr<Call> call;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) {
                break;
            }
            call = queue_.front();
            queue_.pop_front();
            if (call->state != State::Queued) {
                continue;
            }
            call->state = State::Running;
        }
        runOne(call);
        ++ran;
    }
    return ran;
}

bool QueueHandover::pumpUntil(const std::function<bool()>& pred, Duration timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        runPending();
        if (pred()) {
            return true;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        auto hasWork = [&] {
            for (auto& call : queue_) {
                if (call->state == State::Queued) {
                    return true;
                }
            }
            return false;
        };
        // Wake at least every 20 ms as well: pred() may depend on more than handed-over calls.
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            lock.unlock();
            runPending();
            return pred();
        }
        changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)), hasWork);
    }
}

void QueueHandover::pumpFor(Duration time) {
    pumpUntil([] { return false; }, time);
}

}  // namespace lan2com
