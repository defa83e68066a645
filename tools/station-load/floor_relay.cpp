#include "floor_relay.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "relay/conversion.h"

namespace stationload {
namespace {

volatile std::sig_atomic_t g_end = 0;

extern "C" void onTerm(int) {
    g_end = 1;
}

struct FloorChannel {
    int channel = 0;
    int udp = -1;
    int tty = -1;
    sockaddr_in peer{};
    bool waiting = false;  // a line is out and its acknowledgement not yet in
};

}  // namespace

int runFloorRelay(const std::vector<std::string>& args) {
    struct sigaction action {};
    action.sa_handler = onTerm;
    ::sigaction(SIGTERM, &action, nullptr);

    std::vector<FloorChannel> channels(args.size());
    std::vector<pollfd> fds;
    for (std::size_t i = 0; i < args.size(); ++i) {
        FloorChannel& c = channels[i];
        unsigned port = 0;
        char tty[4096] = {};
        if (std::sscanf(args[i].c_str(), "%d:%u:%4095s", &c.channel, &port, tty) != 3) {
            std::fprintf(stderr, "floor-relay: bad channel %s\n", args[i].c_str());
            return 2;
        }
        c.udp = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        c.tty = ::open(tty, O_RDWR | O_NOCTTY);
        termios raw{};
        if (c.udp < 0 ||
            ::bind(c.udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            c.tty < 0 || ::tcgetattr(c.tty, &raw) != 0) {
            std::fprintf(stderr, "floor-relay: channel %d: %s\n", c.channel, std::strerror(errno));
            return 1;
        }
        ::cfmakeraw(&raw);
        ::tcsetattr(c.tty, TCSANOW, &raw);
        fds.push_back({c.udp, POLLIN, 0});
        fds.push_back({c.tty, POLLIN, 0});
    }
    while (g_end == 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            continue;  // EINTR: SIGTERM
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            FloorChannel& c = channels[i / 2];
            if ((fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 &&
                (fds[i].revents & POLLIN) == 0) {
                std::fprintf(stderr, "floor-relay: channel %d: its port went away\n", c.channel);
                return 1;
            }
            if ((fds[i].revents & POLLIN) == 0) {
                continue;
            }
            std::uint8_t data[2048];
            if (i % 2 == 0) {  // a datagram: the line on the tty
                socklen_t length = sizeof c.peer;
                const ssize_t n = ::recvfrom(c.udp, data, sizeof data, 0,
                                             reinterpret_cast<sockaddr*>(&c.peer), &length);
                if (n == 16) {
                    const std::string line =
                        lan2com::CId2SG(lan2com::Data2CId(data, 16), c.channel, 2);
                    c.waiting = ::write(c.tty, line.data(), 21) == 21;
                }
            } else {  // 0x06 from the tty: "OK" to the sender of the line
                const ssize_t n = ::read(c.tty, data, sizeof data);
                for (ssize_t k = 0; k < n; ++k) {
                    if (data[k] == 0x06 && c.waiting) {
                        ::sendto(c.udp, "OK", 2, 0, reinterpret_cast<sockaddr*>(&c.peer),
                                 sizeof c.peer);
                        c.waiting = false;
                    }
                }
            }
        }
    }
    return 0;
}

}  // namespace stationload
