#include "sim_send.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

#include "net/datagram_endpoint.h"
#include "net/datagram_socket.h"
#include "platform/wait_set.h"

namespace alarmsim {
namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

double msBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::string fixed3(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", v);
    return text;
}

}  // namespace

int SendSummary::exitCode(bool service) const {
    const bool good = unexpected == 0 && (service ? answered == 0 : answered == sent);
    return good ? 0 : 3;
}

SendSummary runSend(const SendOptions& options, std::ostream& out, const std::atomic<bool>* stop) {
    using namespace lan2com;
    SendSummary summary;
    const auto stopped = [&] { return stop != nullptr && stop->load(); };

    bool outstanding = false;  // an event waits for its "OK"
    bool answered = false;
    Clock::time_point sentAt;
    Clock::time_point answeredAt;

    const auto onReply = [&](const std::vector<std::uint8_t>& data, const std::string& peerIp,
                             std::uint16_t peerPort) {
        if (peerIp != options.host || peerPort != options.port) {
            ++summary.foreign;
            return;
        }
        if (outstanding && !answered && isOkReply(data)) {
            answered = true;
            answeredAt = Clock::now();
            return;
        }
        ++summary.unexpected;
        if (!options.quiet) {
            out << "unexpected reply length=" << data.size() << " bytes=\"" << escapeBytes(data)
                << "\"" << std::endl;
        }
    };
    // The socket itself rather than a channel's endpoint: a reply of any size is seen (and
    // counted), not dropped unseen for its length.
    net::DatagramSocket udp;
    udp.bindAny(options.fromPort);
    std::vector<std::uint8_t> buffer(65536);  // above the largest IPv4 datagram
    std::vector<std::uint8_t> data;
    const auto receiveWaiting = [&] {
        udp.startReceiving();
        // A bounded round: a flood of replies cannot keep the sending from its slots.
        for (int i = 0; i < 256; ++i) {
            const net::Received r = udp.receive(buffer.data(), buffer.size());
            if (r.kind == net::Received::Kind::Nothing) {
                return;
            }
            if (r.kind == net::Received::Kind::Failed) {
                throw SocketError(r.error);
            }
            if (r.kind == net::Received::Kind::Datagram) {
                data.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.length));
                onReply(data, r.peerIp, r.peerPort);
            }
        }
    };
    WaitSet waits;

    const Ms timeout(options.timeoutMs);
    const Clock::time_point start = Clock::now();
    const auto slot = [&](std::uint64_t i) {
        if (options.rate <= 0) {
            return start;
        }
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(static_cast<double>(i) / options.rate));
    };
    const auto waitUntil = [&](Clock::time_point until, const std::function<bool()>& pred) {
        while (!pred() && !stopped()) {
            const auto now = Clock::now();
            if (now >= until) {
                break;
            }
            // Short slices, so that a stop request is seen soon.
            const auto left = std::chrono::ceil<Ms>(until - now);
            waits.clear();
            udp.addWaits(waits);
            waits.wait(std::min(left, Ms(100)));
            receiveWaiting();
        }
    };

    std::vector<std::uint8_t> datagram;
    for (std::uint64_t i = 0; i < options.count && !stopped(); ++i) {
        waitUntil(slot(i), [] { return false; });
        if (stopped()) {
            break;
        }
        EventFields fields = options.fields;
        if (options.service) {
            datagram = servicePacket(options.serviceLength);
        } else {
            if (options.sequence) {
                fields = sequenceFields(options.fields, i);
            }
            const auto bytes = encodeEvent(fields, options.zero);
            datagram.assign(bytes.begin(), bytes.end());
        }
        outstanding = !options.service;
        answered = false;
        sentAt = Clock::now();
        udp.sendTo(options.host, options.port, datagram.data(), datagram.size());
        ++summary.sent;

        if (options.service) {
            // Nothing should come back; watch for it until the timeout or the next slot.
            const std::uint64_t before = summary.unexpected;
            Clock::time_point until = sentAt + timeout;
            if (options.rate > 0) {
                until = std::min(until, slot(i + 1));
            }
            waitUntil(until, [] { return false; });
            if (!options.quiet) {
                out << "service seq=" << i + 1 << " length=" << datagram.size()
                    << " result=" << (summary.unexpected == before ? "sent" : "answered")
                    << std::endl;
            }
            continue;
        }

        waitUntil(sentAt + timeout, [&] { return answered; });
        outstanding = false;
        if (answered) {
            ++summary.answered;
            summary.latencyMs.push_back(msBetween(sentAt, answeredAt));
        } else {
            ++summary.unanswered;
        }
        if (!options.quiet) {
            out << "event seq=" << i + 1 << " account=" << fields.account
                << " qualifier=" << fields.qualifier << " event=" << fields.event
                << " group=" << fields.group << " zone=" << fields.zone << " result="
                << (answered ? "answered latency_ms=" + fixed3(summary.latencyMs.back())
                             : "unanswered")
                << std::endl;
        }
    }
    summary.seconds = msBetween(start, Clock::now()) / 1000.0;
    // A reply that comes late or twice still counts.
    waitUntil(Clock::now() + std::min(timeout, Ms(500)), [] { return false; });
    udp.close();

    std::sort(summary.latencyMs.begin(), summary.latencyMs.end());
    out << "summary sent=" << summary.sent << " answered=" << summary.answered
        << " unanswered=" << summary.unanswered << " unexpected=" << summary.unexpected
        << " foreign=" << summary.foreign
        << " median_ms=" << fixed3(percentile(summary.latencyMs, 0.5))
        << " p99_ms=" << fixed3(percentile(summary.latencyMs, 0.99))
        << " seconds=" << fixed3(summary.seconds) << std::endl;
    return summary;
}

}  // namespace alarmsim
