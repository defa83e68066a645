#pragma once

// The computer's own addresses: the list that the local address field offers.

#include <string>
#include <vector>

namespace lan2com {

// One unicast address as the operating system reports it, with what decides whether it is offered.
struct InterfaceAddress {
    std::string interfaceKey;  // identifies the interface (grouping key)
    bool loopback = false;     // the software loopback interface
    bool up = true;            // the interface is up
    bool receiveOnly = false;  // the interface can only receive
    bool preferred = true;     // not tentative, duplicate or deprecated
    std::string text;          // dotted IPv4 or standard IPv6 text
};

// The addresses to offer: loopback, down and receive-only interfaces and addresses that are not
// preferred are left out; interfaces in the order of their first address, each interface's
// addresses in their reported order; neither sorted nor purged of repeats.
std::vector<std::string> pickLocalAddresses(const std::vector<InterfaceAddress>& reported);

// The computer's own unicast addresses in the operating system's order: loopback and receive-only
// interfaces skipped, only preferred addresses, IPv4 as dotted text and IPv6 in standard form.
std::vector<std::string> localAddresses();

// What the operating system reports, in its order; empty when it cannot enumerate.
std::vector<InterfaceAddress> systemInterfaceAddresses();

// The address monitor of the window (locIP). The list is built once, when the monitor is created;
// nothing reads it later, so it is not rebuilt periodically (ForceCheck() rebuilds on demand).
class LocalAddressList {
  public:
    LocalAddressList();

    std::vector<std::string> addresses;
    bool Active = true;
    unsigned Interval = 60000;  // ms; kept for the window's settings, no periodic rebuild

    void ForceCheck();
};

}  // namespace lan2com
