#include "support/pty_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

namespace lan2com::test {
namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

PtyPeer::PtyPeer(const std::filesystem::path& devices, int number) {
    int slave = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave, name, &raw, nullptr) != 0) {
        throw std::runtime_error("openpty failed");
    }
    slavePath_ = name;
    slaveKeep_ = slave;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    const auto link = devices / ("com" + std::to_string(number));
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
    std::filesystem::create_symlink(slavePath_, link);
}

PtyPeer::~PtyPeer() {
    if (master_ >= 0) {
        close(master_);
    }
    if (slaveKeep_ >= 0) {
        close(slaveKeep_);
    }
}

std::vector<std::uint8_t> PtyPeer::read(std::size_t n, int timeoutMs) {
    std::vector<std::uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < n) {
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, remainingMs(deadline)) <= 0) {
            break;
        }
        std::uint8_t buf[256];
        const std::size_t want = std::min(sizeof buf, n - out.size());
        const ssize_t got = ::read(master_, buf, want);
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
    }
    return out;
}

std::vector<std::uint8_t> PtyPeer::readFor(int timeMs) {
    std::vector<std::uint8_t> out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeMs);
    for (;;) {
        const int left = remainingMs(deadline);
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) {
            break;
        }
        std::uint8_t buf[256];
        const ssize_t got = ::read(master_, buf, sizeof buf);
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        } else if (got < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        }
        if (left == 0) {
            break;
        }
    }
    return out;
}

void PtyPeer::write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (errno != EAGAIN && errno != EINTR) {
            throw std::runtime_error("pty write failed");
        }
    }
}

UdpPeer::UdpPeer(const std::string& address) : address_(address) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("cannot bind " + address);
    }
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void UdpPeer::sendTo(std::uint16_t port, const std::vector<std::uint8_t>& bytes,
                     const std::string& to) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, to.c_str(), &a.sin_addr);
    sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

bool UdpPeer::receive(std::vector<std::uint8_t>& bytes, std::uint16_t& fromPort, int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) {
        return false;
    }
    std::uint8_t buf[2048];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
    if (n < 0) {
        return false;
    }
    bytes.assign(buf, buf + n);
    fromPort = ntohs(from.sin_port);
    return true;
}

std::uint16_t freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

}  // namespace lan2com::test
