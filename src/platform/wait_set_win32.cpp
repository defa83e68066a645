// The station loop's wait on Windows: one WaitForMultipleObjects over the events of the served
// overlapped operations and sockets, and a wake-up event.

#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wait_set.h"

namespace lan2com {

struct WaitSet::Native {
    HANDLE wake = nullptr;
    std::vector<HANDLE> handles;  // [0] is the wake-up
    std::vector<bool> fired;
};

WaitSet::WaitSet() : native_(std::make_unique<Native>()) {
    native_->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // auto-reset
    if (native_->wake == nullptr) {
        throw std::runtime_error("CreateEvent failed: " + std::to_string(GetLastError()));
    }
    clear();
}

WaitSet::~WaitSet() {
    CloseHandle(native_->wake);
}

void WaitSet::clear() {
    native_->handles.assign(1, native_->wake);
    native_->fired.assign(1, false);
    readyNow_ = false;
}

WaitSet::Token WaitSet::add(void* event) {
    if (native_->handles.size() >= MAXIMUM_WAIT_OBJECTS) {
        // Sixteen channels need 49 at most; more is a fault of the caller.
        throw std::length_error("more than 64 handles in one wait");
    }
    native_->handles.push_back(static_cast<HANDLE>(event));
    native_->fired.push_back(false);
    return native_->handles.size() - 1;
}

bool WaitSet::fired(Token token) const {
    return token < native_->fired.size() && native_->fired[token];
}

void WaitSet::wait(std::optional<std::chrono::milliseconds> timeout) {
    DWORD ms = INFINITE;
    if (readyNow_) {
        ms = 0;
    } else if (timeout) {
        ms = static_cast<DWORD>(
            std::clamp<std::chrono::milliseconds::rep>(timeout->count(), 0, INFINITE - 1));
    }
    std::fill(native_->fired.begin(), native_->fired.end(), false);
    woken_ = false;
    const DWORD count = static_cast<DWORD>(native_->handles.size());
    const DWORD which = WaitForMultipleObjects(count, native_->handles.data(), FALSE, ms);
    if (which >= WAIT_OBJECT_0 + count) {
        return;  // the time-out, or a failure: the caller looks at everything again
    }
    const DWORD first = which - WAIT_OBJECT_0;
    native_->fired[first] = true;
    woken_ = first == 0;
    // The served events are manual-reset: every one that is set now counts as fired too.
    for (DWORD i = std::max<DWORD>(first + 1, 1); i < count; ++i) {
        native_->fired[i] = WaitForSingleObject(native_->handles[i], 0) == WAIT_OBJECT_0;
    }
}

void WaitSet::wake() {
    SetEvent(native_->wake);
}

}  // namespace lan2com
