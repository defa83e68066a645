// udp-bench [datagrams]: sends 16-byte datagrams over loopback from a second thread to a datagram
// endpoint, one at a time, and prints how long each took from the send to its being read on the
// main thread, which waits in a WaitSet with the endpoint in it, as the station loop does; and how
// long closing an idle endpoint takes.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/datagram_endpoint.h"
#include "platform/wait_set.h"

namespace {

using Clock = std::chrono::steady_clock;

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) {
        return 0.0;
    }
    const auto rank = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(rank, sorted.size() - 1)];
}

// Sends one datagram each time it is asked to, noting the moment just before the send.
class Sender {
  public:
    explicit Sender(std::uint16_t to) : to_(to) {
        endpoint_.open(0);
        thread_ = std::thread([this] { run(); });
    }
    ~Sender() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        cv_.notify_one();
        thread_.join();
    }
    // Asks for the next datagram; the send happens on the sender's thread.
    void sendOne() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++asked_;
        }
        cv_.notify_one();
    }
    Clock::time_point sentAt() const { return Clock::time_point(Clock::duration(sentAt_.load())); }
    std::string error() {
        std::lock_guard<std::mutex> lock(mutex_);
        return error_;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            cv_.wait(lock, [&] { return quit_ || asked_ > done_; });
            if (quit_) {
                return;
            }
            ++done_;
            lock.unlock();
            sentAt_.store(Clock::now().time_since_epoch().count());
            std::string error;
            try {
                endpoint_.send("127.0.0.1", to_, "5432181131000025");
            } catch (const std::exception& e) {
                error = e.what();
            }
            lock.lock();
            if (!error.empty()) {
                error_ = error;
            }
        }
    }

    const std::uint16_t to_;
    lan2com::DatagramEndpoint endpoint_;
    std::mutex mutex_;
    std::condition_variable cv_;
    long asked_ = 0;
    long done_ = 0;
    bool quit_ = false;
    std::atomic<Clock::rep> sentAt_{0};
    std::string error_;
    std::thread thread_;
};

int run(int count) {
    using namespace lan2com;
    DatagramEndpoint receiver;
    receiver.open(0);
    const std::uint16_t port = receiver.port();
    Sender sender(port);
    WaitSet waits;

    std::size_t bytes = 0;
    std::vector<double> micros;
    micros.reserve(static_cast<std::size_t>(count));
    const int warmUp = 200;
    int lost = 0;
    for (int i = 0; i < warmUp + count; ++i) {
        if (i == warmUp) {
            micros.clear();
        }
        sender.sendOne();
        bool delivered = false;
        const auto limit = Clock::now() + std::chrono::milliseconds(2000);
        while (!delivered && Clock::now() < limit) {
            waits.clear();
            receiver.addWaits(waits);
            waits.wait(std::chrono::ceil<std::chrono::milliseconds>(limit - Clock::now()));
            receiver.receive(16, [&](const Datagram& d) {
                const auto now = Clock::now();
                micros.push_back(
                    std::chrono::duration<double, std::micro>(now - sender.sentAt()).count());
                bytes = d.bytes.size();
                delivered = true;
            });
        }
        if (!delivered) {
            ++lost;
        }
    }
    const std::string sendError = sender.error();
    if (!sendError.empty()) {
        std::fprintf(stderr, "udp-bench: send failed: %s\n", sendError.c_str());
    }

    std::sort(micros.begin(), micros.end());
    double sum = 0;
    for (double m : micros) {
        sum += m;
    }
    std::printf("udp-bench: %zu datagrams of %zu bytes over loopback (%d lost)\n", micros.size(),
                bytes, lost);
    std::printf("  send on another thread -> read after the main thread's wait, microseconds:\n");
    std::printf("  median %.1f   p90 %.1f   p99 %.1f   max %.1f   mean %.1f\n",
                percentile(micros, 0.50), percentile(micros, 0.90), percentile(micros, 0.99),
                micros.empty() ? 0.0 : micros.back(),
                micros.empty() ? 0.0 : sum / static_cast<double>(micros.size()));

    // How long closing an idle endpoint takes (nothing to stop: it only closes its socket).
    std::vector<double> stops;
    for (int i = 0; i < 200; ++i) {
        receiver.close();
        receiver.open(port);
        const auto start = Clock::now();
        receiver.close();
        stops.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::sort(stops.begin(), stops.end());
    std::printf("  closing an idle endpoint (%zu times), microseconds: median %.1f   max %.1f\n",
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
