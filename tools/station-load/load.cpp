#include "load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace stationload {
namespace {

std::atomic<bool> g_stop{false};

extern "C" void onStopSignal(int) {
    g_stop.store(true);
}

std::string hexDigits(std::uint64_t value, int count) {
    char text[20];
    std::snprintf(text, sizeof text, "%0*llX", count, static_cast<unsigned long long>(value));
    return text;
}

std::optional<std::uint64_t> hexValue(const std::string& digits) {
    std::uint64_t value = 0;
    for (const char c : digits) {
        int v = -1;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        }
        if (v < 0) {
            return std::nullopt;
        }
        value = value * 16 + static_cast<std::uint64_t>(v);
    }
    return value;
}

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

void installStopSignals() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;  // no SA_RESTART: a waiting epoll_wait returns at once
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool stopRequested() {
    return g_stop.load();
}

std::array<std::uint8_t, 16> eventDatagram(std::uint64_t n) {
    alarmsim::EventFields fields;
    fields.account = hexDigits((n >> 20) & 0xFFFF, 4);
    fields.qualifier = "1";
    fields.event = "130";
    fields.group = hexDigits((n >> 12) & 0xFF, 2);
    fields.zone = hexDigits(n & 0xFFF, 3);
    return alarmsim::encodeEvent(fields, alarmsim::ZeroAs::Zero);
}

std::optional<std::uint64_t> numberOf(const alarmsim::ReceiverLine& line) {
    if (line.kind != alarmsim::ReceiverLine::Kind::Event || line.qualifier != 'E' ||
        line.event != "130") {
        return std::nullopt;
    }
    return hexValue(line.account + line.group + line.zone);
}

Load::Load(const std::vector<ChannelSetup>& channels) {
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) {
        throw systemError("epoll_create1");
    }
    channels_.resize(channels.size());
    for (std::size_t i = 0; i < channels.size(); ++i) {
        Channel& c = channels_[i];
        c.setup = channels[i];
        c.tty = ::open(c.setup.comOutPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (c.tty < 0) {
            throw systemError("cannot open " + c.setup.comOutPath);
        }
        termios raw{};
        if (::tcgetattr(c.tty, &raw) == 0) {
            ::cfmakeraw(&raw);
            ::tcsetattr(c.tty, TCSANOW, &raw);
        }
        ::tcflush(c.tty, TCIOFLUSH);

        c.udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (c.udp < 0 ||
            ::bind(c.udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw systemError("cannot bind a transceiver socket");
        }
        epoll_event tty{};
        tty.events = EPOLLIN;
        tty.data.u64 = i * 2;
        epoll_event udp{};
        udp.events = EPOLLIN;
        udp.data.u64 = i * 2 + 1;
        if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.tty, &tty) != 0 ||
            ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.udp, &udp) != 0) {
            throw systemError("epoll_ctl");
        }
    }
}

Load::~Load() {
    for (const Channel& c : channels_) {
        if (c.tty >= 0) {
            ::close(c.tty);
        }
        if (c.udp >= 0) {
            ::close(c.udp);
        }
    }
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
}

Clock::time_point Load::send(std::size_t index, const std::uint8_t* data, std::size_t size) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(channels_[index].setup.udpPort);
    const auto at = Clock::now();
    if (::sendto(channels_[index].udp, data, size, 0, reinterpret_cast<sockaddr*>(&to),
                 sizeof to) != static_cast<ssize_t>(size)) {
        ++sendsFailed_;  // a refused port (the relay not yet listening) reports on a later send
    }
    return at;
}

void Load::poll(Clock::time_point deadline, const Handlers& handlers) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    const int timeout = left.count() < 0 ? 0 : static_cast<int>(left.count());
    epoll_event ready[64];
    const int n = ::epoll_wait(epoll_, ready, 64, timeout);
    if (n < 0) {
        if (errno == EINTR) {
            return;
        }
        throw systemError("epoll_wait");
    }
    for (int i = 0; i < n; ++i) {
        const std::size_t index = ready[i].data.u64 / 2;
        if (ready[i].data.u64 % 2 == 0) {
            if ((ready[i].events & (EPOLLHUP | EPOLLERR)) != 0 &&
                (ready[i].events & EPOLLIN) == 0) {
                throw std::runtime_error("the monitor's end " + channels_[index].setup.comOutPath +
                                         " went away");
            }
            readMonitor(index, handlers);
        } else {
            readTransceiver(index, handlers);
        }
    }
}

void Load::drain(std::chrono::milliseconds time) {
    const auto until = Clock::now() + time;
    const Handlers none;
    while (Clock::now() < until && !stopRequested()) {
        poll(until, none);
    }
}

void Load::readMonitor(std::size_t index, const Handlers& handlers) {
    Channel& c = channels_[index];
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t got = ::read(c.tty, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0 && errno == EINTR) {
                continue;
            }
            return;  // EAGAIN: all read
        }
        for (const auto& frame : c.splitter.feed(buffer, static_cast<std::size_t>(got))) {
            const std::uint8_t ack = alarmsim::kAck;
            if (::write(c.tty, &ack, 1) != 1) {
                ++acksLost_;
            }
            if (handlers.onLine) {
                handlers.onLine(index, alarmsim::decodeLine(frame), Clock::now());
            }
        }
    }
}

void Load::readTransceiver(std::size_t index, const Handlers& handlers) {
    Channel& c = channels_[index];
    for (;;) {
        std::uint8_t buffer[2048];
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(c.udp, buffer, sizeof buffer, 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // EAGAIN, or an ICMP error of an earlier send
        }
        const bool fromRelay = from.sin_addr.s_addr == htonl(INADDR_LOOPBACK) &&
                               ntohs(from.sin_port) == c.setup.udpPort;
        if (handlers.onReply) {
            handlers.onReply(index, std::vector<std::uint8_t>(buffer, buffer + got), fromRelay,
                             Clock::now());
        }
    }
}

}  // namespace stationload
