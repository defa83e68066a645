// serial-bench: opens COM1 on the slave side of a pty pair (through a private XDG_DATA_HOME) and
// measures, with the main thread driven by the hand-over queue:
//   - the time from a byte written by the far end to its OnTriggerAvail handler running,
//   - when 5-tick timer triggers fire after their arming,
//   - the wake-ups per second of the port's threads while the port is open and idle, counted
//     from the context switches in /proc/self/task/*/status.

#include <dirent.h>
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

#include "platform/error_report.h"
#include "platform/handover.h"
#include "platform/tick_clock.h"
#include "serial/apd_com_port.h"

using namespace lan2com;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

class PrintErrors : public ErrorReport {
  public:
    void report(const std::string& message) override {
        std::fprintf(stderr, "error: %s\n", message.c_str());
    }
};

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

// Context switches of every thread of this process but the main thread.
long otherThreadSwitches() {
    long total = 0;
    const std::string self = std::to_string(getpid());
    DIR* dir = opendir("/proc/self/task");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == self) {
            continue;
        }
        std::ifstream status("/proc/self/task/" + tid + "/status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0) {
                total += std::atol(line.substr(line.find(':') + 1).c_str());
            }
        }
    }
    closedir(dir);
    return total;
}

double wakeupsPerSecond(QueueHandover& handover, std::chrono::seconds period) {
    handover.pumpFor(200ms);
    const long before = otherThreadSwitches();
    std::this_thread::sleep_for(period);
    const long after = otherThreadSwitches();
    return static_cast<double>(after - before) / static_cast<double>(period.count());
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

    QueueHandover handover;
    PrintErrors errors;
    {
        TApdComPort port(SerialServices{handover, errors, systemMsClock()}, 1);
        port.SetComNumber(1);
        int received = 0;
        Clock::time_point handled;
        port.OnTriggerAvail = [&](TApdComPort& p, std::uint16_t count) {
            handled = Clock::now();
            for (int i = 0; i < count; ++i) {
                p.GetChar();
            }
            received += count;
        };
        int fired = 0;
        Clock::time_point firedAt;
        port.OnTriggerTimer = [&](TApdComPort&, std::uint16_t) {
            firedAt = Clock::now();
            ++fired;
        };
        port.SetOpen(true);

        // Byte to handler.
        std::vector<double> latency;
        latency.reserve(static_cast<std::size_t>(samples));
        for (int i = 0; i < samples; ++i) {
            std::this_thread::sleep_for(std::chrono::microseconds(500 + (i % 7) * 300));
            const std::uint8_t byte = 0x06;
            const auto sent = Clock::now();
            if (write(master, &byte, 1) != 1) {
                std::perror("write");
                return 1;
            }
            if (!handover.pumpUntil([&] { return received == i + 1; }, 3000ms)) {
                std::fprintf(stderr, "byte %d did not arrive\n", i);
                return 1;
            }
            latency.push_back(std::chrono::duration<double, std::milli>(handled - sent).count());
        }
        std::printf("byte to handler (%d samples): median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    samples, percentile(latency, 0.5), percentile(latency, 0.99),
                    *std::max_element(latency.begin(), latency.end()));

        // 5-tick timer triggers.
        const auto handle = port.AddTimerTrigger();
        std::vector<double> delays;
        for (int i = 0; i < 40; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(7 * (i % 8)));
            const int before = fired;
            const auto armed = Clock::now();
            port.SetTimerTrigger(handle, 5, true);
            handover.pumpUntil([&] { return fired > before; }, 2000ms);
            delays.push_back(std::chrono::duration<double, std::milli>(firedAt - armed).count());
        }
        std::printf(
            "5-tick trigger, arming to handler (%zu samples): min %.1f ms, median %.1f ms, "
            "max %.1f ms (designed 276-330)\n",
            delays.size(), *std::min_element(delays.begin(), delays.end()), percentile(delays, 0.5),
            *std::max_element(delays.begin(), delays.end()));

        std::printf("idle open port: %.2f wake-ups/s\n", wakeupsPerSecond(handover, 5s));
        port.SetTimerTrigger(handle, 200, true);  // 11 s away
        std::printf("open port with a distant trigger armed: %.2f wake-ups/s\n",
                    wakeupsPerSecond(handover, 5s));
        port.SetOpen(false);
    }

    close(master);
    close(slave);
    unlink(link.c_str());
    rmdir(devices.c_str());
    rmdir((std::string(home) + "/lan2com").c_str());
    rmdir(home);
    return 0;
}
