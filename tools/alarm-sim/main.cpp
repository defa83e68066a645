// alarm-sim: a radio transceiver and a monitoring station in one tool, for testing a channel of
// lan2com without radio hardware. See usageText() in sim_args.cpp for the command line.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "sim_args.h"
#include "sim_monitor.h"
#include "sim_send.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void onSignal(int) {
    g_stop.store(true);
}

int runMonitor(const alarmsim::MonitorOptions& options) {
    alarmsim::Monitor monitor(options, std::cout);
    try {
        monitor.open();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "alarm-sim: cannot open COM%d: %s\n", options.comNumber, e.what());
        return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    const auto limit = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(options.seconds));
    while (!g_stop.load() && !monitor.done() && !monitor.failed()) {
        auto slice = std::chrono::milliseconds(100);  // a stop request is seen within this
        if (options.seconds > 0) {
            const auto left = start + limit - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero()) {
                break;
            }
            slice = std::min(slice, std::chrono::duration_cast<std::chrono::milliseconds>(left) +
                                        std::chrono::milliseconds(1));
        }
        monitor.runFor(slice);
    }
    monitor.finish();
    if (monitor.failed()) {
        std::fprintf(stderr, "alarm-sim: COM%d failed: %s\n", options.comNumber,
                     monitor.failure().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    alarmsim::Command command;
    try {
        command = alarmsim::parseCommandLine(args);
    } catch (const alarmsim::UsageError& e) {
        std::fprintf(stderr, "alarm-sim: %s\n(alarm-sim --help shows the command line)\n",
                     e.what());
        return 2;
    }
    if (std::holds_alternative<alarmsim::HelpRequest>(command)) {
        std::fputs(alarmsim::usageText(), stdout);
        return 0;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    try {
        if (const auto* send = std::get_if<alarmsim::SendOptions>(&command)) {
            const auto summary = alarmsim::runSend(*send, std::cout, &g_stop);
            return summary.exitCode(send->service);
        }
        return runMonitor(std::get<alarmsim::MonitorOptions>(command));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "alarm-sim: %s\n", e.what());
        return 1;
    }
}
