#include "app/termination.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#endif

namespace lan2com {

#ifndef _WIN32
namespace {

int signalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a request; nothing more to say.
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

struct TerminationRequests::Impl {
    std::function<void()> onRequest;
    std::unique_ptr<QSocketNotifier> notifier;
    struct sigaction previous[3] = {};
};

constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};

TerminationRequests::TerminationRequests(std::function<void()> onRequest)
    : impl_(std::make_unique<Impl>()) {
    impl_->onRequest = std::move(onRequest);
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        return;  // no orderly end on signals; the default actions stay
    }
    impl_->notifier = std::make_unique<QSocketNotifier>(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(impl_->notifier.get(), &QSocketNotifier::activated, [this] {
        char drain[16];
        while (::read(signalPipe[0], drain, sizeof drain) > 0) {
        }
        if (impl_->onRequest) {
            impl_->onRequest();
        }
    });
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        sigaction(kSignals[i], &action, &impl_->previous[i]);
    }
}

TerminationRequests::~TerminationRequests() {
    if (!impl_->notifier) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        sigaction(kSignals[i], &impl_->previous[i], nullptr);
    }
    impl_->notifier.reset();
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}
#else
namespace {

// Windows asks every top-level window whether the session may end (WM_QUERYENDSESSION), then
// tells it that it ends (WM_ENDSESSION); the process is ended as soon as the answer to the
// second message returns. A hidden top-level window of its own receives both, whatever the
// toolkit does with its windows and on whichever platform plugin it runs.
LRESULT CALLBACK sessionWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_QUERYENDSESSION:
            return TRUE;  // an unattended station never holds a logoff or a shutdown back
        case WM_ENDSESSION: {
            auto* onRequest =
                reinterpret_cast<std::function<void()>*>(GetWindowLongPtrW(window, GWLP_USERDATA));
            if (wParam != FALSE && onRequest != nullptr && *onRequest) {
                // Once: each of the program's windows may be told.
                const std::function<void()> request = std::move(*onRequest);
                *onRequest = nullptr;
                request();  // before returning: the process does not outlive the answer
            }
            return 0;
        }
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

struct TerminationRequests::Impl {
    std::function<void()> onRequest;
    HWND window = nullptr;
};

TerminationRequests::TerminationRequests(std::function<void()> onRequest)
    : impl_(std::make_unique<Impl>()) {
    impl_->onRequest = std::move(onRequest);
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = sessionWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kSessionWindowClass;
    RegisterClassW(&windowClass);  // fails harmlessly when an earlier object registered it
    // Never shown, and without a title: no task bar button, nothing in a window list.
    impl_->window = CreateWindowExW(WS_EX_TOOLWINDOW, kSessionWindowClass, L"",
                                    WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr);
    if (impl_->window != nullptr) {
        SetWindowLongPtrW(impl_->window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(&impl_->onRequest));
    }
}

TerminationRequests::~TerminationRequests() {
    if (impl_->window != nullptr) {
        SetWindowLongPtrW(impl_->window, GWLP_USERDATA, 0);
        DestroyWindow(impl_->window);
    }
}
#endif

}  // namespace lan2com
