#include "sim_monitor.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

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

Monitor::Monitor(const MonitorOptions& options, QueueHandover& handover, ErrorReport& errors,
                 std::ostream& out)
    : options_(options), handover_(handover), out_(out) {
    port_ = std::make_unique<TApdComPort>(SerialServices{handover, errors, systemMsClock()}, 1);
    port_->PromptForPort = false;
    port_->OutSize = 1024;  // answers never wait for room, even while the far end is slow
    port_->OnTriggerAvail = [this](TApdComPort&, std::uint16_t count) { onData(count); };
    port_->OnPortError = [this](TApdComPort&, const std::string& message) {
        failure_ = message.empty() ? "the port failed" : message;
    };
}

Monitor::~Monitor() = default;

void Monitor::open() {
    port_->SetComNumber(static_cast<std::uint16_t>(options_.comNumber));
    port_->SetOpen(true);
}

void Monitor::onData(std::uint16_t count) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count);
    for (std::uint16_t i = 0; i < count; ++i) {
        bytes.push_back(port_->GetChar());
    }
    for (const auto& frame : splitter_.feed(bytes.data(), bytes.size())) {
        handleFrame(frame);
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
    try {
        port_->PutChar(byte);
        ++(byte == kAck ? summary_.acks : summary_.naks);
    } catch (const EAPDException& e) {
        ++summary_.answersLost;
        if (failure_.empty() && !port_->Open()) {
            failure_ = e.what();
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
    return options_.lines != 0 && summary_.lines >= options_.lines && due_.empty();
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
        const std::size_t lines = summary_.lines;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now) +
                          std::chrono::milliseconds(until == end ? 0 : 1);
        handover_.pumpUntil([&] { return summary_.lines != lines || failed(); }, wait);
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
    if (port_->Open()) {
        // Closing discards what is still in the output buffer: let the answers go out first.
        handover_.pumpUntil([&] { return port_->OutBuffFree() == port_->OutSize; },
                            std::chrono::milliseconds(1000));
        handover_.pumpFor(std::chrono::milliseconds(50));
        port_->SetOpen(false);
    }
    out_ << "summary lines=" << summary_.lines << " events=" << summary_.events
         << " heartbeats=" << summary_.heartbeats << " unknown=" << summary_.unknown
         << " acks=" << summary_.acks << " naks=" << summary_.naks
         << " answers_lost=" << summary_.answersLost << std::endl;
}

}  // namespace alarmsim
