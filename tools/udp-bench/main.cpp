// udp-bench [datagrams]: sends 16-byte datagrams over loopback to a datagram endpoint, one at a
// time, and prints how long each took from the send to its read handler running on the main
// thread (the main thread waits in a hand-over pump, as the window's event loop would), and how
// long stopping an idle endpoint takes.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "net/udp_server.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(rank, sorted.size() - 1)];
}

int run(int count) {
    using namespace lan2com;
    QueueHandover handover;
    TIdUDPServer receiver(handover, 0);
    TIdUDPServer sender(handover, 0);

    Clock::time_point sentAt;
    bool delivered = false;
    std::size_t bytes = 0;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    receiver.OnUDPRead = [&](TIdUDPListenerThread&, const std::vector<std::uint8_t>& data,
                             TIdSocketHandle&) {
        const auto now = Clock::now();
        micros.push_back(std::chrono::duration<double, std::micro>(now - sentAt).count());
        bytes = data.size();
        delivered = true;
    };
    const std::uint16_t port = receiver.Binding().Port;
    sender.Binding();

    const int warmUp = 200;
    int lost = 0;
    for (int i = 0; i < warmUp + count; ++i) {
        if (i == warmUp) {
            micros.clear();
        }
        delivered = false;
        sentAt = Clock::now();
        sender.Send("127.0.0.1", port, "5432181131000025");
        if (!handover.pumpUntil([&] { return delivered; }, std::chrono::milliseconds(2000))) {
            ++lost;
        }
    }

    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) {
        sum += m;
    }
    std::printf("udp-bench: %zu datagrams of %zu bytes over loopback (%d lost)\n", micros.size(),
                bytes, lost);
    std::printf("  send -> read handler on the main thread, microseconds:\n");
    std::printf("  median %.1f   p90 %.1f   p99 %.1f   max %.1f   mean %.1f\n",
                percentile(micros, 0.50), percentile(micros, 0.90), percentile(micros, 0.99),
                micros.empty() ? 0.0 : micros.back(),
                micros.empty() ? 0.0 : sum / static_cast<double>(micros.size()));

    // How long stopping an idle endpoint takes (its listener is woken, not polled).
    std::vector<double> stops;
    for (int i = 0; i < 200; ++i) {
        receiver.SetActive(false);
        receiver.ClearBindings();
        receiver.DefaultPort = port;
        receiver.Binding();
        const auto start = Clock::now();
        receiver.SetActive(false);
        stops.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(stops.begin(), stops.end());
    std::printf("  stopping an idle endpoint (%zu times), microseconds: median %.1f   max %.1f\n",
                stops.size(), percentile(stops, 0.50), stops.back());
    return lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 5000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: udp-bench [datagrams]\n");
        return 2;
    }
    try {
        return run(count);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "udp-bench: %s\n", e.what());
        return 1;
    }
}
