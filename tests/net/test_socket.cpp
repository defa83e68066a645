#include "test_socket.h"

#include <stdexcept>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include "wine/wine_host.h"
using socklen_t = int;
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace lan2com {
namespace testing {

namespace {

#ifdef _WIN32
struct WinsockUp {
    WinsockUp() {
        WSADATA d;
        WSAStartup(MAKEWORD(2, 2), &d);
    }
};
void startup() {
    static WinsockUp up;
}
void closeFd(std::intptr_t fd) {
    closesocket(static_cast<SOCKET>(fd));
}
using Native = SOCKET;
#else
void startup() {}
void closeFd(std::intptr_t fd) {
    ::close(static_cast<int>(fd));
}
using Native = int;
#endif

sockaddr_in addressOf(const std::string& ip, std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, ip.c_str(), &sa.sin_addr) != 1) {
        throw std::runtime_error("bad test address " + ip);
    }
    return sa;
}

std::intptr_t openBound(const std::string& ip, std::uint16_t port, bool* ok) {
    startup();
    const Native s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
#ifdef _WIN32
    if (s == INVALID_SOCKET) {
#else
    if (s < 0) {
#endif
        throw std::runtime_error("test socket cannot be created");
    }
    const sockaddr_in sa = addressOf(ip, port);
    *ok = ::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
    return static_cast<std::intptr_t>(s);
}

}  // namespace

TestSocket::TestSocket(const std::string& ip, std::uint16_t port) {
    bool ok = false;
    fd_ = openBound(ip, port, &ok);
    if (!ok) {
        closeFd(fd_);
        throw std::runtime_error("test socket cannot bind " + ip + ":" + std::to_string(port));
    }
}

TestSocket::~TestSocket() {
    closeFd(fd_);
}

std::uint16_t TestSocket::port() const {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    ::getsockname(static_cast<Native>(fd_), reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

void TestSocket::sendTo(const std::string& ip, std::uint16_t port,
                        const std::vector<std::uint8_t>& bytes) {
    const sockaddr_in sa = addressOf(ip, port);
    static const char none = 0;
    const char* data = bytes.empty() ? &none : reinterpret_cast<const char*>(bytes.data());
    const auto n = ::sendto(static_cast<Native>(fd_), data, static_cast<int>(bytes.size()), 0,
                            reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0 || static_cast<std::size_t>(n) != bytes.size()) {
        throw std::runtime_error("test send failed");
    }
}

std::optional<Datagram> TestSocket::receive(std::chrono::milliseconds timeout) {
#ifdef _WIN32
    WSAPOLLFD p{static_cast<SOCKET>(fd_), POLLIN, 0};
    if (WSAPoll(&p, 1, static_cast<INT>(timeout.count())) <= 0) {
        return std::nullopt;
    }
#else
    pollfd p{static_cast<int>(fd_), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
        return std::nullopt;
    }
#endif
    char buffer[2048];
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    const auto n = ::recvfrom(static_cast<Native>(fd_), buffer, sizeof buffer, 0,
                              reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0) {
        return std::nullopt;
    }
    Datagram d;
    d.bytes.assign(buffer, buffer + n);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    d.fromIp = text;
    d.fromPort = ntohs(sa.sin_port);
    return d;
}

bool TestSocket::canBind(const std::string& ip, std::uint16_t port) {
    bool ok = false;
    const std::intptr_t fd = openBound(ip, port, &ok);
    closeFd(fd);
    return ok;
}

std::uint16_t TestSocket::freePort() {
    TestSocket s("0.0.0.0", 0);
    return s.port();
}

std::vector<std::uint8_t> bytesOf(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::string sourceAddressOf(const std::string& ip) {
#ifdef _WIN32
    if (wine::runningUnderWine() && ip.rfind("127.", 0) == 0) {
        return "127.0.0.1";
    }
#endif
    return ip;
}

int addressFamilyOf(const std::string& text) {
    startup();
    unsigned char buffer[16];
    if (inet_pton(AF_INET, text.c_str(), buffer) == 1) {
        return 4;
    }
    if (inet_pton(AF_INET6, text.c_str(), buffer) == 1) {
        return 6;
    }
    return 0;
}

int openDescriptors() {
#ifdef __linux__
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (::readdir(dir) != nullptr) {
        ++count;
    }
    ::closedir(dir);
    return count;
#else
    return -1;
#endif
}

}  // namespace testing
}  // namespace lan2com
