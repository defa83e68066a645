// The station loop's wait on Linux: poll() over the served descriptors and an eventfd.

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wait_set.h"

namespace lan2com {

struct WaitSet::Native {
    int wakeFd = -1;
    std::vector<pollfd> fds;  // [0] is the wake-up
};

WaitSet::WaitSet() : native_(std::make_unique<Native>()) {
    native_->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (native_->wakeFd < 0) {
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
    }
    clear();
}

WaitSet::~WaitSet() {
    ::close(native_->wakeFd);
}

void WaitSet::clear() {
    native_->fds.clear();
    native_->fds.push_back(pollfd{native_->wakeFd, POLLIN, 0});
    readyNow_ = false;
}

WaitSet::Token WaitSet::add(int fd, bool read, bool write) {
    const short events = static_cast<short>((read ? POLLIN : 0) | (write ? POLLOUT : 0));
    native_->fds.push_back(pollfd{fd, events, 0});
    return native_->fds.size() - 1;
}

short WaitSet::events(Token token) const {
    return token < native_->fds.size() ? native_->fds[token].revents : 0;
}

bool WaitSet::fired(Token token) const {
    return events(token) != 0;
}

void WaitSet::wait(std::optional<std::chrono::milliseconds> timeout) {
    int ms = -1;
    if (readyNow_) {
        ms = 0;
    } else if (timeout) {
        ms = static_cast<int>(
            std::clamp<std::chrono::milliseconds::rep>(timeout->count(), 0, INT_MAX));
    }
    for (pollfd& p : native_->fds) {
        p.revents = 0;
    }
    const int n = ::poll(native_->fds.data(), native_->fds.size(), ms);
    woken_ = false;
    if (n > 0 && native_->fds[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t r = ::read(native_->wakeFd, &count, sizeof count);
        woken_ = true;
    }
    // n < 0 (EINTR): nothing is marked; the caller looks at its deadlines and waits again.
}

void WaitSet::wake() {
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which wake-ups never reach.
    while (::write(native_->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

}  // namespace lan2com
