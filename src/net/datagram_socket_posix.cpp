// Datagram socket and stop signal over BSD sockets (Linux).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

#include "net/datagram_socket.h"
#include "net/udp_server.h"

namespace lan2com {
namespace net {

namespace {

std::string systemText(int code) {
    return "Socket error " + std::to_string(code) + ": " + std::strerror(code);
}

void closeQuietly(int fd) {
    if (fd >= 0) {
        // A close interrupted by a signal has still released the descriptor on Linux: never retry.
        ::close(fd);
    }
}

}  // namespace

// ---- StopSignal: an eventfd that becomes readable for good. ----

struct StopSignal::Native {
    int fd = -1;
};

StopSignal::StopSignal() : native_(std::make_unique<Native>()) {
    native_->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (native_->fd < 0) {
        throw EIdSocketError(systemText(errno));
    }
}

StopSignal::~StopSignal() {
    closeQuietly(native_->fd);
}

void StopSignal::raise() {
    const std::uint64_t one = 1;
    // Cannot fail short of a counter overflow, which a handful of raises never reaches.
    while (::write(native_->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool StopSignal::raised() const {
    return waitFor(std::chrono::milliseconds(0));
}

bool StopSignal::waitFor(std::chrono::milliseconds time) const {
    pollfd p{native_->fd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + time;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int rc = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (rc > 0) {
            return true;
        }
        if (rc == 0) {
            return false;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// ---- DatagramSocket ----

struct DatagramSocket::Native {
    int fd = -1;
};

DatagramSocket::DatagramSocket() : native_(std::make_unique<Native>()) {
    native_->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (native_->fd < 0) {
        throw EIdSocketError(systemText(errno));
    }
}

DatagramSocket::~DatagramSocket() {
    close();
}

void DatagramSocket::close() {
    closeQuietly(native_->fd);
    native_->fd = -1;
}

bool DatagramSocket::isOpen() const {
    return native_->fd >= 0;
}

void DatagramSocket::bindAny(std::uint16_t port) {
    // No SO_REUSEADDR / SO_REUSEPORT: a port that another socket holds must stay unavailable.
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    if (native_->fd < 0 ||
        ::bind(native_->fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        throw EIdCouldNotBindSocket();
    }
}

std::uint16_t DatagramSocket::localPort() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (native_->fd < 0 ||
        ::getsockname(native_->fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

void DatagramSocket::sendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                            std::size_t size) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        throw EIdSocketError("Not a dotted IPv4 address: \"" + host + "\"");
    }
    if (native_->fd < 0) {
        throw EIdSocketError(systemText(EBADF));
    }
    for (;;) {
        const ssize_t n = ::sendto(native_->fd, data, size, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) {
            if (static_cast<std::size_t>(n) != size) {
                throw EIdSocketError("Socket error: the datagram was sent incompletely");
            }
            return;
        }
        if (errno != EINTR) {
            throw EIdSocketError(systemText(errno));
        }
    }
}

WaitResult DatagramSocket::waitReadable(const StopSignal& stop) {
    pollfd p[2] = {{stop.native().fd, POLLIN, 0}, {native_->fd, POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(p, 2, -1);
        if (rc < 0) {
            if (errno == EINTR) {
                continue;
            }
            return WaitResult::Failed;
        }
        if (p[0].revents != 0) {
            return WaitResult::Stopped;
        }
        if ((p[1].revents & POLLNVAL) != 0) {
            return WaitResult::Failed;
        }
        // POLLERR too: the receive takes the pending error off the socket.
        return WaitResult::Readable;
    }
}

Received DatagramSocket::receive(std::uint8_t* buffer, std::size_t capacity) {
    Received r;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    std::uint8_t spare = 0;
    // MSG_TRUNC: the answer is the datagram's real length, so a long one is recognised and
    // dropped whole (the kernel discards its rest).
    const ssize_t n = ::recvfrom(native_->fd, capacity > 0 ? buffer : &spare, capacity,
                                 MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
        const int code = errno;
        switch (code) {
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
            case EINTR:
            // An ICMP error left over from an earlier send: the socket itself is fine.
            case ECONNREFUSED:
            case EHOSTUNREACH:
            case ENETUNREACH:
            case EHOSTDOWN:
                r.kind = Received::Kind::Nothing;
                return r;
            default:
                r.kind = Received::Kind::Failed;
                r.error = systemText(code);
                return r;
        }
    }
    if (static_cast<std::size_t>(n) > capacity) {
        r.kind = Received::Kind::TooLong;
        r.length = static_cast<std::size_t>(n);
        return r;
    }
    if (sa.sin_family != AF_INET) {
        r.kind = Received::Kind::Nothing;  // cannot happen on an IPv4 socket
        return r;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    r.kind = Received::Kind::Datagram;
    r.length = static_cast<std::size_t>(n);
    r.peerIp = text;
    r.peerPort = ntohs(sa.sin_port);
    return r;
}

}  // namespace net
}  // namespace lan2com
