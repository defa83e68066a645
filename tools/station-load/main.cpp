// station-load: lan2com under load on sixteen virtual COM pairs.
//
//   station-load bench [--seconds S]               the benchmark against the floor relay, and
//                                                  lan2com under a flood from a wrong address
//   station-load soak [--minutes M] [--rate R]     the soak test (default 10 minutes, 100/s)
//
// Both make a private XDG_DATA_HOME with sixteen vcom-pair pairs and a registry of sixteen
// channels, and start lan2com of the same build folder on it under the offscreen platform.

#include <cmath>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "bench.h"
#include "flood.h"
#include "floor_relay.h"
#include "load.h"
#include "soak.h"

namespace {

constexpr const char* kUsage =
    "usage: station-load bench [--seconds S]\n"
    "       station-load soak [--minutes M] [--rate R]\n"
    "\n"
    "bench  lan2com and a minimal relay on the same 16 pairs: latency from a datagram to its\n"
    "       \"OK\" on 4 channels, events per second on 16, and idle CPU, wake-ups and memory;\n"
    "       then lan2com alone under a flood from a wrong address (2 S seconds) while 16\n"
    "       transceivers send an event every 100 ms each; S seconds per measurement (default 10)\n"
    "soak   lan2com on 16 channels under R events per second in all (default 100) for M minutes\n"
    "       (default 10); fails on a lost, doubled or unanswered event, an extra reply, a crash\n"
    "       or more than 5 MB of memory growth after the warm-up\n";

// A number given to an option: finite, within [low, high].
bool parseNumber(const std::string& text, double low, double high, double& out) {
    std::size_t used = 0;
    try {
        out = std::stod(text, &used);
    } catch (const std::exception&) {
        return false;
    }
    return used == text.size() && std::isfinite(out) && out >= low && out <= high;
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "station-load: %s\n%s", message.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? 2 : 0;
    }
    if (args[0] == "floor-relay") {  // started by the benchmark itself
        return stationload::runFloorRelay({args.begin() + 1, args.end()});
    }
    if (args[0] == "flood") {  // started by the benchmark itself
        return stationload::runFlood({args.begin() + 1, args.end()});
    }

    double seconds = 10;
    stationload::SoakOptions soak;
    for (std::size_t i = 1; i < args.size(); i += 2) {
        const std::string& option = args[i];
        if (i + 1 >= args.size()) {
            return usageError(option + " needs a value");
        }
        const std::string& value = args[i + 1];
        if (args[0] == "bench" && option == "--seconds") {
            if (!parseNumber(value, 1, 3600, seconds) || seconds != std::floor(seconds)) {
                return usageError("--seconds takes a whole number from 1 to 3600");
            }
        } else if (args[0] == "soak" && option == "--minutes") {
            if (!parseNumber(value, 0.1, 10000, soak.minutes)) {
                return usageError("--minutes takes a number from 0.1 to 10000");
            }
        } else if (args[0] == "soak" && option == "--rate") {
            if (!parseNumber(value, 0.1, 2000, soak.rate)) {
                return usageError("--rate takes events per second from 0.1 to 2000");
            }
        } else {
            return usageError("unknown option " + option + " for " + args[0]);
        }
    }
    if (args[0] != "bench" && args[0] != "soak") {
        return usageError("unknown command " + args[0]);
    }

    stationload::installStopSignals();
    try {
        return args[0] == "bench" ? stationload::runBench(static_cast<int>(seconds))
                                  : stationload::runSoak(soak);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "station-load: %s\n", e.what());
        return 1;
    }
}
