#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/handover.h"

namespace lan2com {

class EIdException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
// Any failure to bind, whatever its cause.
class EIdCouldNotBindSocket : public EIdException {
  public:
    EIdCouldNotBindSocket()
        : EIdException("Could not bind socket. Address and port are already in use.") {}
};
// A socket that cannot be created, or a failed send; the operating system's text follows.
class EIdSocketError : public EIdException {
  public:
    using EIdException::EIdException;
};

// One socket of an endpoint.
class TIdSocketHandle {
  public:
    std::string IP;              // local address recorded on the binding ("" = every address)
    std::uint16_t Port = 0;      // local port
    std::string PeerIP;          // source of the datagram being delivered, dotted IPv4
    std::uint16_t PeerPort = 0;  // its source port
};

class TIdUDPListenerThread;  // the listener that received a datagram (not used by the handlers)

// The end of one delivered datagram. A read handler that cannot finish its datagram before it
// returns (it waits for the monitoring software's acknowledgement) takes one with
// TIdUDPServer::DeferCompletion(); the endpoint delivers its next datagram only after finish().
// Deactivating the endpoint finishes it as well. finish() is idempotent; main thread only.
class DatagramCompletion {
  public:
    virtual ~DatagramCompletion() = default;
    virtual void finish() = 0;
    virtual bool finished() const = 0;
};

// The datagram endpoint of one channel (sUDP1 … sUDP16): IPv4 UDP, one listener thread per active
// binding, read events on the main thread, datagrams of more than BufferSize bytes discarded whole.
class TIdUDPServer {
  public:
    using ReadEvent =
        std::function<void(TIdUDPListenerThread& AThread, const std::vector<std::uint8_t>& AData,
                           TIdSocketHandle& ABinding)>;

    TIdUDPServer(Handover& handover, std::uint16_t defaultPort);
    ~TIdUDPServer();  // deactivates
    TIdUDPServer(const TIdUDPServer&) = delete;
    TIdUDPServer& operator=(const TIdUDPServer&) = delete;

    std::uint16_t DefaultPort;
    int BufferSize = 16;
    ReadEvent OnUDPRead;

    bool Active() const;
    // true binds every binding (creating one at DefaultPort when there is none) and starts the
    // listeners; a failure raises EIdCouldNotBindSocket (or EIdSocketError) and leaves the endpoint
    // inactive with nothing open. false stops the listeners, ends a pending datagram, closes the
    // sockets and returns when the listener threads have ended; it never waits on the main thread,
    // so it may be called while a datagram of this endpoint is pending.
    void SetActive(bool active);

    std::vector<std::unique_ptr<TIdSocketHandle>>& Bindings();
    void ClearBindings();  // on an inactive endpoint
    // The first binding; on an inactive endpoint without bindings reading it activates the
    // endpoint (and may raise the bind errors).
    TIdSocketHandle& Binding();

    // Sends text as ASCII bytes (a character above 127 becomes '?') in one datagram from the bound
    // socket, so that its source port is the endpoint's port. Raises EIdSocketError on failure.
    void Send(const std::string& host, std::uint16_t port, const std::string& text);

    // Inside OnUDPRead only: the datagram being delivered stays pending after the handler returns,
    // until the completion is finished or the endpoint is deactivated.
    std::shared_ptr<DatagramCompletion> DeferCompletion();

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The bytes of a text sent by TIdUDPServer::Send: ASCII, one byte a character; every character
// above 127 (a UTF-8 sequence, or a byte that is not part of one) becomes one '?'.
std::vector<std::uint8_t> asciiBytes(const std::string& text);

// The computer's own unicast addresses in the operating system's order: loopback and receive-only
// interfaces skipped, only preferred addresses, IPv4 as dotted text and IPv6 in standard form.
std::vector<std::string> localAddresses();

}  // namespace lan2com
