#pragma once

// The one wait of the station loop: every device and socket it serves, the nearest deadline, and
// a wake-up that other threads raise. One backend per platform (wait_set_posix.cpp, _win32.cpp).

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>

namespace lan2com {

class WaitSet {
  public:
    WaitSet();  // std::runtime_error when the operating system refuses the wake-up
    ~WaitSet();
    WaitSet(const WaitSet&) = delete;
    WaitSet& operator=(const WaitSet&) = delete;

    using Token = std::size_t;

    // Starts a new round: what was added before is forgotten.
    void clear();

#ifdef _WIN32
    // An event (manual reset) that an overlapped operation or a socket signals.
    Token add(void* event);
#else
    // A descriptor, watched for input and, when asked, for room to write.
    Token add(int fd, bool read, bool write);
    // What the wait saw on it (poll's revents); 0 before a wait.
    short events(Token token) const;
#endif
    // A source that can go on at once: the next wait returns without waiting.
    void readyNow() {
        readyNow_ = true;
    }

    // Waits until an added source is signalled, wake() is called, or the timeout (none: no limit)
    // has passed. An interrupted wait simply returns: the caller looks again at everything.
    void wait(std::optional<std::chrono::milliseconds> timeout);

    // Whether the source was signalled when the last wait returned.
    bool fired(Token token) const;

    // Any thread: ends the present wait, or the next one.
    void wake();
    // Whether the last wait was ended by wake() (the wake-up is consumed).
    bool woken() const {
        return woken_;
    }

    struct Native;

  private:
    std::unique_ptr<Native> native_;
    bool readyNow_ = false;
    bool woken_ = false;
};

}  // namespace lan2com
