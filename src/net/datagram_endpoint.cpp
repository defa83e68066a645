#include "net/datagram_endpoint.h"

#include <array>

#include "net/datagram_socket.h"

namespace lan2com {

// Room for one batch of datagrams and what each receive produced.
struct Batch {
    std::array<std::uint8_t, DatagramEndpoint::kCapacity * 16> buffers{};
    std::array<net::Received, 16> results{};
};

DatagramEndpoint::DatagramEndpoint() : batch_(std::make_unique<Batch>()) {}
DatagramEndpoint::~DatagramEndpoint() = default;

void DatagramEndpoint::open(std::uint16_t port, const std::optional<std::string>& onlySource) {
    close();
    auto socket = std::make_unique<net::DatagramSocket>();
    // The filter goes on before the binding, so that no datagram of another source ever queues.
    const bool filtered = onlySource && socket->admitOnly(*onlySource);
    socket->bindAny(port);
    socket_ = std::move(socket);
    filtered_ = filtered;
    token_.reset();
}

void DatagramEndpoint::close() {
    socket_.reset();
    token_.reset();
    filtered_ = false;
}

bool DatagramEndpoint::isOpen() const {
    return socket_ != nullptr;
}

std::uint16_t DatagramEndpoint::port() const {
    return socket_ ? socket_->localPort() : 0;
}

void DatagramEndpoint::addWaits(WaitSet& set) {
    token_.reset();
    if (socket_) {
        token_ = socket_->addWaits(set);
    }
}

bool DatagramEndpoint::ready(const WaitSet& set) const {
    return socket_ && (!token_ || set.fired(*token_));
}

void DatagramEndpoint::startRound() {
    if (socket_) {
        socket_->startReceiving();
    }
}

std::size_t DatagramEndpoint::receiveBatch(std::size_t count) {
    if (!socket_) {
        return 0;
    }
    return socket_->receiveBatch(batch_->buffers.data(), kCapacity, batch_->results.data(),
                                 std::min(count, kBatch));
}

bool DatagramEndpoint::takeResult(std::size_t i, Datagram& d) {
    const net::Received& r = batch_->results[i];
    switch (r.kind) {
        case net::Received::Kind::Datagram: {
            const std::uint8_t* bytes = batch_->buffers.data() + i * kCapacity;
            d.bytes.assign(bytes, bytes + r.length);
            d.peerAddress = r.peerIp;
            d.peerPort = r.peerPort;
            return true;
        }
        case net::Received::Kind::TooLong:
        case net::Received::Kind::Nothing:
            return false;
        case net::Received::Kind::Failed:
            break;
    }
    throw SocketError(r.error);
}

void DatagramEndpoint::send(const std::string& host, std::uint16_t port, const std::string& text) {
    if (!socket_) {
        throw SocketError("Socket error: the endpoint is not open");
    }
    const std::vector<std::uint8_t> bytes = asciiBytes(text);
    socket_->sendTo(host, port, bytes.data(), bytes.size());
}

std::vector<std::uint8_t> asciiBytes(const std::string& text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            out.push_back(c);
            ++i;
            continue;
        }
        // One '?' per character: a whole UTF-8 sequence counts once, any other byte by itself.
        std::size_t length = c >= 0xC2 && c <= 0xDF   ? 2
                             : c >= 0xE0 && c <= 0xEF ? 3
                             : c >= 0xF0 && c <= 0xF4 ? 4
                                                      : 1;
        for (std::size_t k = 1; k < length; ++k) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80) {
                length = 1;
                break;
            }
        }
        out.push_back('?');
        i += length;
    }
    return out;
}

}  // namespace lan2com
