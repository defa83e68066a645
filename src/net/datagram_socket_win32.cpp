// Datagram socket over Winsock (Windows).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock first, then what builds on it.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <mstcpip.h>
#include <windows.h>

#include <mutex>

#include "net/datagram_endpoint.h"
#include "net/datagram_socket.h"
#include "net/winsock_init.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace lan2com {
namespace net {

namespace {

std::string systemText(int code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string message = "Socket error " + std::to_string(code);
    if (n > 0 && text != nullptr) {
        std::string body(text, n);
        while (!body.empty() &&
               (body.back() == '\r' || body.back() == '\n' || body.back() == ' ')) {
            body.pop_back();
        }
        message += ": " + body;
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    return message;
}

}  // namespace

void ensureWinsock() {
    static std::once_flag once;
    static int result = 0;
    std::call_once(once, [] {
        WSADATA data;
        result = WSAStartup(MAKEWORD(2, 2), &data);
    });
    if (result != 0) {
        throw SocketError(systemText(result));
    }
}

// ---- DatagramSocket ----

struct DatagramSocket::Native {
    SOCKET s = INVALID_SOCKET;
    WSAEVENT readable = WSA_INVALID_EVENT;
};

DatagramSocket::DatagramSocket() : native_(std::make_unique<Native>()) {
    ensureWinsock();
    native_->s =
        WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
    if (native_->s == INVALID_SOCKET) {
        throw SocketError(systemText(WSAGetLastError()));
    }
    // Exclusive use of the port: no other program may bind it while this socket holds it.
    BOOL on = TRUE;
    if (setsockopt(native_->s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on) != 0) {
        const int code = WSAGetLastError();
        close();
        throw SocketError(systemText(code));
    }
    // An ICMP "port unreachable" for an earlier reply must not surface as an error on receive.
    BOOL reset = FALSE;
    DWORD returned = 0;
    WSAIoctl(native_->s, SIO_UDP_CONNRESET, &reset, sizeof reset, nullptr, 0, &returned, nullptr,
             nullptr);
    native_->readable = WSACreateEvent();
    if (native_->readable == WSA_INVALID_EVENT) {
        const int code = WSAGetLastError();
        close();
        throw SocketError(systemText(code));
    }
}

DatagramSocket::~DatagramSocket() {
    close();
}

void DatagramSocket::close() {
    if (native_->s != INVALID_SOCKET) {
        closesocket(native_->s);
        native_->s = INVALID_SOCKET;
    }
    if (native_->readable != WSA_INVALID_EVENT) {
        WSACloseEvent(native_->readable);
        native_->readable = WSA_INVALID_EVENT;
    }
}

bool DatagramSocket::isOpen() const {
    return native_->s != INVALID_SOCKET;
}

void DatagramSocket::bindAny(std::uint16_t port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(port);
    if (native_->s == INVALID_SOCKET ||
        bind(native_->s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        throw BindError();
    }
    // Readability is signalled on the event (this also makes the socket non-blocking).
    if (WSAEventSelect(native_->s, native_->readable, FD_READ) != 0) {
        throw BindError();
    }
}

std::uint16_t DatagramSocket::localPort() const {
    sockaddr_in sa{};
    int len = sizeof sa;
    if (native_->s == INVALID_SOCKET ||
        getsockname(native_->s, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return 0;
    }
    return ntohs(sa.sin_port);
}

void DatagramSocket::sendTo(const std::string& host, std::uint16_t port, const std::uint8_t* data,
                            std::size_t size) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &sa.sin_addr) != 1) {
        throw SocketError("Not a dotted IPv4 address: \"" + host + "\"");
    }
    if (native_->s == INVALID_SOCKET) {
        throw SocketError(systemText(WSAENOTSOCK));
    }
    const int n = sendto(native_->s, reinterpret_cast<const char*>(data), static_cast<int>(size), 0,
                         reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n == SOCKET_ERROR) {
        throw SocketError(systemText(WSAGetLastError()));
    }
    if (static_cast<std::size_t>(n) != size) {
        throw SocketError("Socket error: the datagram was sent incompletely");
    }
}

bool DatagramSocket::admitOnly(const std::string& /*address*/) {
    return false;  // no socket filter here: the caller compares the source of each datagram
}

WaitSet::Token DatagramSocket::addWaits(WaitSet& set) {
    return set.add(native_->readable);
}

void DatagramSocket::startReceiving() {
    // Resets the event; each receive that leaves a datagram behind records readiness again, so
    // a round cut short by its budget is signalled to the next wait.
    if (native_->s != INVALID_SOCKET) {
        WSANETWORKEVENTS events;
        WSAEnumNetworkEvents(native_->s, native_->readable, &events);
    }
}

std::size_t DatagramSocket::receiveBatch(std::uint8_t* buffers, std::size_t capacity,
                                         Received* results, std::size_t count) {
    // No batch read here: one receive after the other, until nothing more waits.
    std::size_t n = 0;
    while (n < count) {
        results[n] = receive(buffers + n * capacity, capacity);
        if (results[n].kind == Received::Kind::Nothing) {
            break;
        }
        ++n;
        if (results[n - 1].kind == Received::Kind::Failed) {
            break;
        }
    }
    return n;
}

Received DatagramSocket::receive(std::uint8_t* buffer, std::size_t capacity) {
    Received r;
    sockaddr_in sa{};
    int len = sizeof sa;
    char spare = 0;
    const int n = recvfrom(native_->s, capacity > 0 ? reinterpret_cast<char*>(buffer) : &spare,
                           static_cast<int>(capacity), 0, reinterpret_cast<sockaddr*>(&sa), &len);
    if (n == SOCKET_ERROR) {
        const int code = WSAGetLastError();
        switch (code) {
            case WSAEMSGSIZE:  // the datagram did not fit and has been discarded
                r.kind = Received::Kind::TooLong;
                return r;
            case WSAEWOULDBLOCK:
            case WSAEINTR:
            case WSAECONNRESET:
            case WSAENETRESET:
                r.kind = Received::Kind::Nothing;
                return r;
            default:
                r.kind = Received::Kind::Failed;
                r.error = systemText(code);
                return r;
        }
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &sa.sin_addr, text, sizeof text);
    r.kind = Received::Kind::Datagram;
    r.length = static_cast<std::size_t>(n);
    r.peerIp = text;
    r.peerPort = ntohs(sa.sin_port);
    return r;
}

}  // namespace net
}  // namespace lan2com
