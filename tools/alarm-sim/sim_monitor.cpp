#include "sim_monitor.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include "serial/serial_device.h"

namespace alarmsim {

using namespace lan2com;

std::string timestamp(std::chrono::system_clock::time_point at) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(at);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        at.time_since_epoch() - std::chrono::seconds(seconds))
                        .count();
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(ms));
    return text;
}

Monitor::Monitor(const MonitorOptions& options, std::ostream& out) : options_(options), out_(out) {}

Monitor::~Monitor() = default;

void Monitor::open() {
    // A long transmit queue in the driver: answers never wait for room, even while the far end
    // is slow.
    LineSettings line;
    line.outSize = 1024;
    port_.open(static_cast<std::uint16_t>(options_.comNumber), line);
}

void Monitor::serviceUntil(Clock::time_point until) {
    waits_.clear();
    port_.addWaits(waits_);
    const auto now = Clock::now();
    waits_.wait(until > now ? std::chrono::ceil<std::chrono::milliseconds>(until - now)
                            : std::chrono::milliseconds(0));
    received_.clear();
    const bool good = port_.service(waits_, received_);
    // Bytes that came before a failure are still lines.
    for (const auto& frame : splitter_.feed(received_.data(), received_.size())) {
        handleFrame(frame);
    }
    if (!good) {
        noteFailure();
    }
    writeAnswers();
}

void Monitor::noteFailure() {
    if (failure_.empty()) {
        failure_ = port_.error().empty() ? "the port failed" : port_.error();
    }
}

void Monitor::handleFrame(const std::vector<std::uint8_t>& frame) {
    const ReceiverLine line = decodeLine(frame);
    ++summary_.lines;
    switch (line.kind) {
        case ReceiverLine::Kind::Event:
            ++summary_.events;
            break;
        case ReceiverLine::Kind::Heartbeat:
            ++summary_.heartbeats;
            break;
        case ReceiverLine::Kind::Unknown:
            ++summary_.unknown;
            break;
    }
    // Only a well-formed line is answered; the monitoring software would not take garbage.
    const bool answerable = line.kind != ReceiverLine::Kind::Unknown && !finished_;
    std::string reply = "none";
    if (answerable && options_.answer != Answer::Silent) {
        const std::uint8_t byte = options_.answer == Answer::Ack ? kAck : kNak;
        reply = options_.answer == Answer::Ack ? "ack" : "nak";
        if (options_.delayMs > 0) {
            due_.push_back({Clock::now() + std::chrono::milliseconds(options_.delayMs), byte});
            reply += " delay_ms=" + std::to_string(options_.delayMs);
        } else {
            answer(byte);
        }
    }
    if (!options_.quiet) {
        out_ << timestamp(std::chrono::system_clock::now()) << " line=" << summary_.lines << ' '
             << describeLine(line) << " reply=" << reply << std::endl;
    }
}

void Monitor::answer(std::uint8_t byte) {
    unwritten_.push_back(byte);
    writeAnswers();
}

void Monitor::writeAnswers() {
    while (!unwritten_.empty() && port_.write(&unwritten_.front(), 1)) {
        ++(unwritten_.front() == kAck ? summary_.acks : summary_.naks);
        unwritten_.pop_front();
    }
    if (!unwritten_.empty() && (!port_.isOpen() || port_.failed())) {
        summary_.answersLost += unwritten_.size();
        unwritten_.clear();
        if (port_.failed()) {
            noteFailure();
        }
    }
}

void Monitor::sendDue(bool all) {
    const auto now = Clock::now();
    while (!due_.empty() && (all || due_.front().at <= now)) {
        answer(due_.front().byte);
        due_.pop_front();
    }
}

bool Monitor::done() const {
    return options_.lines != 0 && summary_.lines >= options_.lines && due_.empty() &&
           unwritten_.empty();
}

void Monitor::runFor(std::chrono::milliseconds time) {
    const auto end = Clock::now() + time;
    while (!done() && !failed()) {
        sendDue(false);
        const auto now = Clock::now();
        if (now >= end) {
            break;
        }
        auto until = end;
        if (!due_.empty()) {
            until = std::min(until, due_.front().at);
        }
        serviceUntil(until);
    }
    sendDue(false);
}

void Monitor::finish() {
    if (finished_) {
        return;
    }
    finished_ = true;
    sendDue(true);
    if (!splitter_.pending().empty()) {
        handleFrame(splitter_.pending());
    }
    if (port_.isOpen()) {
        // Closing discards what is still in the output buffer: let the answers go out first.
        const auto drained = Clock::now() + std::chrono::milliseconds(1000);
        while (!failed() && (!unwritten_.empty() || port_.outputFree() != ComPort::kOutSize) &&
               Clock::now() < drained) {
            serviceUntil(drained);
        }
        const auto settled = Clock::now() + std::chrono::milliseconds(50);
        while (!failed() && Clock::now() < settled) {
            serviceUntil(settled);
        }
        summary_.answersLost += unwritten_.size();
        unwritten_.clear();
        port_.close();
    }
    out_ << "summary lines=" << summary_.lines << " events=" << summary_.events
         << " heartbeats=" << summary_.heartbeats << " unknown=" << summary_.unknown
         << " acks=" << summary_.acks << " naks=" << summary_.naks
         << " answers_lost=" << summary_.answersLost << std::endl;
}

}  // namespace alarmsim
