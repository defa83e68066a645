#include "flood.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "load.h"

namespace stationload {

int runFlood(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        std::fprintf(stderr, "flood: seconds and at least one port are needed\n");
        return 2;
    }
    double seconds = 0;
    std::vector<sockaddr_in> targets;
    try {
        seconds = std::stod(args[0]);
        for (std::size_t i = 1; i < args.size(); ++i) {
            const int port = std::stoi(args[i]);
            if (port <= 0 || port > 65535) {
                throw std::out_of_range(args[i]);
            }
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);  // only ever 127.0.0.1
            to.sin_port = htons(static_cast<std::uint16_t>(port));
            targets.push_back(to);
        }
    } catch (const std::exception&) {
        std::fprintf(stderr, "flood: bad arguments\n");
        return 2;
    }

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, kFloodSource, &from.sin_addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0) {
        std::fprintf(stderr, "flood: cannot bind %s: %s\n", kFloodSource, std::strerror(errno));
        return 1;
    }

    // A batch of datagrams per system call, to the ports in turn; every datagram a valid event.
    constexpr std::size_t kBatch = 64;
    std::array<std::array<std::uint8_t, 16>, kBatch> payloads{};
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> messages{};
    unsigned long long sent = 0;
    unsigned long long failed = 0;
    std::size_t next = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    while (Clock::now() < end) {
        for (std::size_t k = 0; k < kBatch; ++k) {
            payloads[k] = eventDatagram(kFloodNumbers + sent + k);
            iov[k] = {payloads[k].data(), payloads[k].size()};
            messages[k] = {};
            messages[k].msg_hdr.msg_name = &targets[next];
            messages[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
            messages[k].msg_hdr.msg_iov = &iov[k];
            messages[k].msg_hdr.msg_iovlen = 1;
            next = (next + 1) % targets.size();
        }
        const int n = ::sendmmsg(fd, messages.data(), kBatch, MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<unsigned long long>(n);
        } else if (errno != EINTR) {
            ++failed;  // a full send queue, or an ICMP error left from an earlier datagram
        }
    }
    const double took = std::chrono::duration<double>(Clock::now() - start).count();
    ::close(fd);
    std::printf("flood sent=%llu seconds=%.3f failed_calls=%llu\n", sent, took, failed);
    std::fflush(stdout);
    return 0;
}

bool parseFloodReport(const std::string& text, unsigned long long& sent, double& seconds) {
    const std::size_t at = text.rfind("flood sent=");
    return at != std::string::npos &&
           std::sscanf(text.c_str() + at, "flood sent=%llu seconds=%lf", &sent, &seconds) == 2;
}

}  // namespace stationload
