// Datagram socket over BSD sockets (Linux).

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/datagram_endpoint.h"
#include "net/datagram_socket.h"

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

// ---- DatagramSocket ----

struct DatagramSocket::Native {
    int fd = -1;
};

DatagramSocket::DatagramSocket() : native_(std::make_unique<Native>()) {
    native_->fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (native_->fd < 0) {
        throw SocketError(systemText(errno));
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
        throw BindError();
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
        throw SocketError("Not a dotted IPv4 address: \"" + host + "\"");
    }
    if (native_->fd < 0) {
        throw SocketError(systemText(EBADF));
    }
    for (;;) {
        const ssize_t n = ::sendto(native_->fd, data, size, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        if (n >= 0) {
            if (static_cast<std::size_t>(n) != size) {
                throw SocketError("Socket error: the datagram was sent incompletely");
            }
            return;
        }
        if (errno != EINTR) {
            throw SocketError(systemText(errno));
        }
    }
}

bool DatagramSocket::admitOnly(const std::string& address) {
    in_addr source{};
    if (native_->fd < 0 || ::inet_pton(AF_INET, address.c_str(), &source) != 1) {
        return false;
    }
    // A classic socket filter over the IPv4 header in front of the datagram: the source address
    // (12 bytes into the header) must be the one given, or the datagram is dropped in the kernel
    // before it takes any room in the socket's queue.
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<std::uint32_t>(SKF_NET_OFF) + 12),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ntohl(source.s_addr), 0, 1),
        BPF_STMT(BPF_RET | BPF_K, 0xFFFFFFFFu),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
    if (::setsockopt(native_->fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) != 0) {
        return false;
    }
    // Attached before the socket is bound, it sees every datagram; the caller compares the source
    // all the same.
    return true;
}

WaitSet::Token DatagramSocket::addWaits(WaitSet& set) {
    return set.add(native_->fd, true, false);  // a closed socket (-1) is skipped by the wait
}

void DatagramSocket::startReceiving() {}

std::size_t DatagramSocket::receiveBatch(std::uint8_t* buffers, std::size_t capacity,
                                         Received* results, std::size_t count) {
    constexpr std::size_t kMost = 16;
    count = std::min(count, kMost);
    mmsghdr messages[kMost] = {};
    iovec parts[kMost] = {};
    sockaddr_in sources[kMost] = {};
    std::uint8_t spare = 0;
    for (std::size_t i = 0; i < count; ++i) {
        parts[i].iov_base = capacity > 0 ? buffers + i * capacity : &spare;
        parts[i].iov_len = capacity;
        messages[i].msg_hdr.msg_iov = &parts[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &sources[i];
        messages[i].msg_hdr.msg_namelen = sizeof sources[i];
    }
    const int n =
        ::recvmmsg(native_->fd, messages, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    if (n < 0) {
        // The same answers as one receive: nothing waiting, an ICMP leftover, or a failure.
        results[0] = receive(buffers, capacity);
        return results[0].kind == Received::Kind::Failed ? 1 : 0;
    }
    for (int i = 0; i < n; ++i) {
        Received& r = results[i];
        r = Received();
        const msghdr& header = messages[i].msg_hdr;
        if ((header.msg_flags & MSG_TRUNC) != 0) {
            r.kind = Received::Kind::TooLong;  // the kernel has discarded the rest
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &sources[i].sin_addr, text, sizeof text);
        r.kind = Received::Kind::Datagram;
        r.length = messages[i].msg_len;
        r.peerIp = text;
        r.peerPort = ntohs(sources[i].sin_port);
    }
    return static_cast<std::size_t>(n);
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
