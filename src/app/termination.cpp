#include "app/termination.h"

#ifndef _WIN32
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
struct TerminationRequests::Impl {};
TerminationRequests::TerminationRequests(std::function<void()>) : impl_(std::make_unique<Impl>()) {}
TerminationRequests::~TerminationRequests() = default;
#endif

}  // namespace lan2com
