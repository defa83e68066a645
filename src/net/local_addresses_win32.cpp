// Local addresses on Windows: GetAdaptersAddresses, in the adapters' order.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock first, then what builds on it.
#include <winsock2.h>

#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "net/local_addresses.h"
#include "net/winsock_init.h"

namespace lan2com {

std::vector<InterfaceAddress> systemInterfaceAddresses() {
    std::vector<InterfaceAddress> out;
    try {
        net::ensureWinsock();  // inet_ntop
    } catch (...) {
        return out;
    }
    const ULONG flags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    ULONG size = 16 * 1024;
    std::vector<std::uint64_t> buffer;  // 8-byte aligned storage for the adapter records
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size / sizeof(std::uint64_t) + 1, 0);
        rc = GetAdaptersAddresses(AF_UNSPEC, flags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (rc != NO_ERROR) {
        return out;
    }
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
         adapter = adapter->Next) {
        for (auto* u = adapter->FirstUnicastAddress; u != nullptr; u = u->Next) {
            const sockaddr* sa = u->Address.lpSockaddr;
            if (sa == nullptr) {
                continue;
            }
            char text[INET6_ADDRSTRLEN] = {};
            if (sa->sa_family == AF_INET) {
                inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text,
                          sizeof text);
            } else if (sa->sa_family == AF_INET6) {
                inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text,
                          sizeof text);
            } else {
                continue;
            }
            InterfaceAddress a;
            a.interfaceKey = adapter->AdapterName != nullptr ? std::string(adapter->AdapterName)
                                                             : std::to_string(adapter->IfIndex);
            a.loopback = adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK;
            // A disconnected adapter keeps its addresses (a static one, or an autoconfigured
            // one): no transceiver reaches the station through it.
            a.up = adapter->OperStatus == IfOperStatusUp;
            a.receiveOnly = (adapter->Flags & IP_ADAPTER_RECEIVE_ONLY) != 0;
            a.preferred = u->DadState == IpDadStatePreferred;
            a.text = text;
            out.push_back(std::move(a));
        }
    }
    return out;
}

}  // namespace lan2com
