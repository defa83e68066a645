#include "platform/handover.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace lan2com {

QueueHandover::QueueHandover() : mainThread_(std::this_thread::get_id()) {}

bool QueueHandover::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

void QueueHandover::post(std::function<void()> fn) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(fn));
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
        arrangeCallEnd();
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

void QueueHandover::runOne(std::function<void()>& fn) {
    ++running_;
    try {
        fn();
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
    runAtCallEnd();  // what the call left for its end, unless a nested loop has run it already
}

std::size_t QueueHandover::runPending() {
    // Nested in a call: what waits for its end comes before the calls behind it.
    if (running_ > 0) {
        runAtCallEnd();
    }
    // One call at a time off the front, so that a call which itself processes events (a modal
    // message box) can run the calls behind it without running any twice.
    std::size_t ran = 0;
    std::size_t budget;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        budget = queue_.size();
    }
    while (budget-- > 0) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (queue_.empty()) {
                break;
            }
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        runOne(fn);
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
        // Wake at least every 20 ms as well: pred() may depend on more than posted calls.
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            lock.unlock();
            runPending();
            return pred();
        }
        changed_.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(20)),
                            [&] { return !queue_.empty(); });
    }
}

void QueueHandover::pumpFor(Duration time) {
    pumpUntil([] { return false; }, time);
}

}  // namespace lan2com
