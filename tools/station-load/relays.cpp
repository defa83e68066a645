#include "relays.h"

#include <stdexcept>

namespace stationload {

std::unique_ptr<ChildProcess> startLan2com(const StationHome& home) {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{siblingProgram("lan2com")},
        std::vector<std::string>{"XDG_DATA_HOME=" + home.root(), "QT_QPA_PLATFORM=offscreen"},
        home.root() + "/lan2com.log");
}

std::unique_ptr<ChildProcess> startFloor(const StationHome& home) {
    std::vector<std::string> argv = {siblingProgram("station-load"), "floor-relay"};
    for (const ChannelSetup& c : home.channels()) {
        argv.push_back(std::to_string(c.channel) + ":" + std::to_string(c.udpPort) + ":" +
                       c.comInPath);
    }
    return std::make_unique<ChildProcess>(argv, std::vector<std::string>{},
                                          home.root() + "/floor.log");
}

std::unique_ptr<ChildProcess> startFlood(const StationHome& home, int seconds) {
    std::vector<std::string> argv = {siblingProgram("station-load"), "flood",
                                     std::to_string(seconds)};
    for (const ChannelSetup& c : home.channels()) {
        argv.push_back(std::to_string(c.udpPort));
    }
    return std::make_unique<ChildProcess>(argv, std::vector<std::string>{},
                                          home.root() + "/flood.log");
}

void checkRunning(ChildProcess& relay, const std::string& name) {
    if (!relay.running()) {
        throw std::runtime_error(name + " ended (" + relay.exitText() + "); the end of " +
                                 relay.logPath() + ":\n" + relay.logTail(15));
    }
}

std::chrono::duration<double> waitUntilAnswering(Load& load, ChildProcess& relay,
                                                 std::chrono::seconds limit) {
    const auto start = Clock::now();
    std::vector<bool> answered(load.size(), false);
    std::size_t missing = load.size();
    Load::Handlers handlers;
    handlers.onReply = [&](std::size_t index, const std::vector<std::uint8_t>& datagram,
                           bool fromRelay, Clock::time_point) {
        if (isAnswer(datagram, fromRelay) && !answered[index]) {
            answered[index] = true;
            --missing;
        }
    };
    const auto probe = eventDatagram(0);
    while (missing > 0) {
        checkRunning(relay, "the relay");
        if (stopRequested()) {
            throw std::runtime_error("stopped");
        }
        if (Clock::now() - start > limit) {
            std::string silent;
            for (std::size_t i = 0; i < answered.size(); ++i) {
                if (!answered[i]) {
                    silent += " " + std::to_string(load.channel(i).channel);
                }
            }
            throw std::runtime_error("channels that did not answer within " +
                                     std::to_string(limit.count()) + " s:" + silent +
                                     "; the end of " + relay.logPath() + ":\n" + relay.logTail(15));
        }
        for (std::size_t i = 0; i < load.size(); ++i) {
            if (!answered[i]) {
                load.send(i, probe.data(), probe.size());
            }
        }
        const auto until = Clock::now() + std::chrono::milliseconds(400);
        while (missing > 0 && Clock::now() < until && !stopRequested()) {
            load.poll(until, handlers);
        }
    }
    const std::chrono::duration<double> took = Clock::now() - start;
    load.drain(std::chrono::milliseconds(700));
    return took;
}

}  // namespace stationload
