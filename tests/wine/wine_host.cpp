#include "wine/wine_host.h"

// Winsock 2 before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>
// Then the rest of the Win32 API.
#include <windows.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace lan2com {
namespace wine {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr ? std::string() : std::string(value);
}

std::string hex(const std::vector<std::uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::vector<std::uint8_t> unhex(const std::string& text) {
    if (text.size() % 2 != 0) {
        throw std::runtime_error("com peer: odd hex answer");
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

}  // namespace

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::unique_ptr<ComPeer> ComPeer::fromEnvironment() {
    const std::string peerAddress = environment("LAN2COM_WINE_PEER");
    if (peerAddress.empty()) {
        return nullptr;
    }
    const auto colon = peerAddress.rfind(':');
    if (colon == std::string::npos || peerAddress.substr(0, colon) != "127.0.0.1") {
        throw std::runtime_error("LAN2COM_WINE_PEER must be 127.0.0.1:<port>, not " + peerAddress);
    }
    auto peer = std::make_unique<ComPeer>(
        static_cast<std::uint16_t>(std::stoul(peerAddress.substr(colon + 1))));
    if (peer->request("ping") != "pong") {
        throw std::runtime_error("com peer: no pong");
    }
    return peer;
}

std::vector<std::uint16_t> ComPeer::linkedPorts() {
    std::vector<std::uint16_t> ports;
    std::istringstream in(environment("LAN2COM_WINE_COM"));
    std::string item;
    while (std::getline(in, item, ',')) {
        if (!item.empty()) {
            ports.push_back(static_cast<std::uint16_t>(std::stoul(item)));
        }
    }
    return ports;
}

ComPeer::ComPeer(std::uint16_t controlPort) : socket_(INVALID_SOCKET) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("com peer: WSAStartup failed");
    }
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        WSACleanup();
        throw std::runtime_error("com peer: no socket");
    }
    DWORD timeout = 5000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(controlPort);
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        WSACleanup();
        throw std::runtime_error("com peer: cannot reach the control port");
    }
    socket_ = static_cast<std::uintptr_t>(s);
}

ComPeer::~ComPeer() {
    closesocket(static_cast<SOCKET>(socket_));
    WSACleanup();
}

std::string ComPeer::request(const std::string& text) {
    const SOCKET s = static_cast<SOCKET>(socket_);
    if (::send(s, text.data(), static_cast<int>(text.size()), 0) != static_cast<int>(text.size())) {
        throw std::runtime_error("com peer: send failed for '" + text + "'");
    }
    char buffer[65536];
    const int n = ::recv(s, buffer, sizeof buffer, 0);
    if (n < 0) {
        throw std::runtime_error("com peer: no answer to '" + text + "'");
    }
    std::string answer(buffer, static_cast<std::size_t>(n));
    if (answer.rfind("error", 0) == 0) {
        throw std::runtime_error("com peer: '" + text + "' -> " + answer);
    }
    return answer;
}

void ComPeer::reset(std::uint16_t com) {
    request("reset " + std::to_string(com));
}

void ComPeer::setEcho(std::uint16_t com, bool on) {
    request("echo " + std::to_string(com) + (on ? " on" : " off"));
}

void ComPeer::send(std::uint16_t com, const std::vector<std::uint8_t>& bytes) {
    request("send " + std::to_string(com) + " " + hex(bytes));
}

std::vector<std::uint8_t> ComPeer::take(std::uint16_t com) {
    const std::string answer = request("take " + std::to_string(com));
    if (answer.rfind("data", 0) != 0) {
        throw std::runtime_error("com peer: unexpected answer " + answer);
    }
    return unhex(answer.size() > 5 ? answer.substr(5) : std::string());
}

std::vector<std::uint8_t> ComPeer::takeAtLeast(std::uint16_t com, std::size_t count,
                                               int timeoutMs) {
    std::vector<std::uint8_t> all;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto part = take(com);
        all.insert(all.end(), part.begin(), part.end());
        if (all.size() >= count || std::chrono::steady_clock::now() >= end) {
            return all;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string ComPeer::lines(std::uint16_t com) {
    const std::string answer = request("lines " + std::to_string(com));
    return answer.size() > 6 ? answer.substr(6) : std::string();
}

void ComPeer::hangup(std::uint16_t com) {
    request("hangup " + std::to_string(com));
}

}  // namespace wine
}  // namespace lan2com
