// serial-bench: opens COM1 on the slave side of a pty pair (through a private XDG_DATA_HOME) as a
// ComPort served by a WaitSet on the main thread, as the station loop serves its ports, and
// measures:
//   - the time from a byte written by the far end to its being read after the wait returns,
//   - the time from a byte written to the port to the far end reading it,
//   - how late a wait with a 330 ms deadline returns (the acknowledgement timeout's kind),
//   - how often the waiting thread wakes while the port is open and idle and nothing is due,
//     counted as the returns of the wait and as the context switches in /proc/self/task.

#include <dirent.h>
#include <poll.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/wait_set.h"
#include "serial/com_port.h"
#include "serial/serial_device.h"

using namespace lan2com;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

double msSince(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// Context switches of every thread of this process, and how many threads it has.
struct Switches {
    long count = 0;
    int threads = 0;
};
Switches processSwitches() {
    Switches s;
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return {-1, 0};
    }
    while (dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") {
            continue;
        }
        ++s.threads;
        std::ifstream status("/proc/self/task/" + tid + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                s.count += std::atol(line.substr(line.find(':') + 1).c_str());
            }
        }
    }
    closedir(dir);
    return s;
}

// Serves the port in waits until `until` or until done() holds; answers whether it held.
template <typename Done>
bool serveUntil(WaitSet& waits, ComPort& port, std::vector<std::uint8_t>& received,
                Clock::time_point until, Done done) {
    while (!done()) {
        const auto now = Clock::now();
        if (now >= until) {
            return false;
        }
        waits.clear();
        port.addWaits(waits);
        waits.wait(std::chrono::ceil<std::chrono::milliseconds>(until - now));
        if (!port.service(waits, received)) {
            std::fprintf(stderr, "the port failed: %s\n", port.error().c_str());
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::atoi(argv[1]) : 2000;

    char home[] = "/tmp/serial-bench-XXXXXX";
    if (mkdtemp(home) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string devices = std::string(home) + "/lan2com/dosdevices";
    mkdir((std::string(home) + "/lan2com").c_str(), 0700);
    mkdir(devices.c_str(), 0700);
    setenv("XDG_DATA_HOME", home, 1);

    int master = -1;
    int slave = -1;
    char name[256] = {};
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    const std::string link = devices + "/com1";
    if (symlink(name, link.c_str()) != 0) {
        std::perror("symlink");
        return 1;
    }

    {
        ComPort port;
        port.open(1, LineSettings{});
        WaitSet waits;
        std::vector<std::uint8_t> received;

        // Far end to the read after the wait.
        std::vector<double> latency;
        latency.reserve(static_cast<std::size_t>(samples));
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 7) * 300));
            received.clear();
            const std::uint8_t byte = 0x06;
            const auto sent = Clock::now();
            if (write(master, &byte, 1) != 1) {
                std::perror("write");
                return 1;
            }
            if (!serveUntil(waits, port, received, sent + 3000ms,
                            [&] { return !received.empty(); })) {
                std::fprintf(stderr, "byte %d did not arrive\n", i);
                return 1;
            }
            latency.push_back(msSince(sent, Clock::now()));
        }
        std::printf(
            "far end to read after the wait (%d samples): median %.3f ms, p99 %.3f ms, "
            "max %.3f ms\n",
            samples, percentile(latency, 0.5), percentile(latency, 0.99),
            *std::max_element(latency.begin(), latency.end()));

        // Port write to the far end's read (the far end waits in poll()).
        std::vector<double> outbound;
        const std::uint8_t line[21] = {'5', '0', '3', '1', ' ', '1', '8', '1', '2', '3', '4',
                                       'E', '1', '3', '0', '0', '1', '0', '0', '5', 0x14};
        for (int i = 0; i < samples / 4; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 7) * 300));
            const auto sent = Clock::now();
            if (!port.write(line, sizeof line)) {
                std::fprintf(stderr, "the port took no line: %s\n", port.error().c_str());
                return 1;
            }
            std::size_t got = 0;
            std::uint8_t buffer[64];
            while (got < sizeof line) {
                pollfd p{master, POLLIN, 0};
                if (::poll(&p, 1, 3000) <= 0) {
                    std::fprintf(stderr, "line %d did not arrive\n", i);
                    return 1;
                }
                const ssize_t n = read(master, buffer, sizeof buffer);
                if (n <= 0) {
                    std::perror("read");
                    return 1;
                }
                got += static_cast<std::size_t>(n);
            }
            outbound.push_back(msSince(sent, Clock::now()));
        }
        std::printf(
            "21-byte line, port write to far end read (%zu samples): median %.3f ms, "
            "p99 %.3f ms, max %.3f ms\n",
            outbound.size(), percentile(outbound, 0.5), percentile(outbound, 0.99),
            *std::max_element(outbound.begin(), outbound.end()));

        // A deadline 330 ms away, as the acknowledgement timeout sets one.
        std::vector<double> late;
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(7 * (i % 8)));
            const auto deadline = Clock::now() + 330ms;
            serveUntil(waits, port, received, deadline, [] { return false; });
            late.push_back(msSince(deadline, Clock::now()));
        }
        std::printf(
            "330 ms deadline, lateness of the wait's return (%zu samples): min %.2f ms, "
            "median %.2f ms, max %.2f ms\n",
            late.size(), *std::min_element(late.begin(), late.end()), percentile(late, 0.5),
            *std::max_element(late.begin(), late.end()));

        // Idle: nothing arrives and nothing is due; the wait should not return on its own.
        const auto period = 5s;
        const auto end = Clock::now() + period;
        long returns = 0;
        const Switches before = processSwitches();
        serveUntil(waits, port, received, end, [&] {
            ++returns;
            return false;
        });
        const Switches after = processSwitches();
        const double seconds = std::chrono::duration<double>(period).count();
        // The first look and the one that finds the deadline passed are not wake-ups.
        std::printf(
            "idle open port, %d thread(s): %.2f returns of the wait/s, %.2f context "
            "switches/s\n",
            after.threads, static_cast<double>(std::max(0L, returns - 2)) / seconds,
            static_cast<double>(after.count - before.count) / seconds);
        port.close();
    }

    close(master);
    close(slave);
    unlink(link.c_str());
    rmdir(devices.c_str());
    rmdir((std::string(home) + "/lan2com").c_str());
    rmdir(home);
    return 0;
}
