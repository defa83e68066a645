#include "net/local_addresses.h"

#include <cstddef>

namespace lan2com {

std::vector<std::string> pickLocalAddresses(const std::vector<InterfaceAddress>& reported) {
    // Interfaces in the order in which they first appear; a handful of them at most, so a linear
    // search for the group is fine.
    std::vector<std::string> keys;
    std::vector<std::vector<std::string>> groups;
    for (const auto& a : reported) {
        if (a.loopback || !a.up || a.receiveOnly || !a.preferred || a.text.empty()) {
            continue;
        }
        std::size_t i = 0;
        while (i < keys.size() && keys[i] != a.interfaceKey) {
            ++i;
        }
        if (i == keys.size()) {
            keys.push_back(a.interfaceKey);
            groups.emplace_back();
        }
        groups[i].push_back(a.text);
    }
    std::vector<std::string> out;
    for (auto& g : groups) {
        for (auto& t : g) {
            out.push_back(std::move(t));
        }
    }
    return out;
}

std::vector<std::string> localAddresses() {
    return pickLocalAddresses(systemInterfaceAddresses());
}

LocalAddressList::LocalAddressList() : addresses(localAddresses()) {}

void LocalAddressList::ForceCheck() {
    addresses = localAddresses();
}

}  // namespace lan2com
