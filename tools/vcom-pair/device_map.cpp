#include "device_map.h"

#include <iostream>

namespace vcom {

std::string valueName(int side, int number) {
    return "\\Device\\com0com" + std::to_string(side) + std::to_string(number);
}

// The pair number of a value name the tool writes ("\Device\com0com1N" / "…2N"), or -1.
int numberOf(const std::string& name) {
    const std::string prefix = "\\Device\\com0com";
    if (name.size() < prefix.size() + 2 || name.compare(0, prefix.size(), prefix) != 0 ||
        (name[prefix.size()] != '1' && name[prefix.size()] != '2')) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size() + 1);
    if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoi(digits);
}

void printNotices(lan2com::FileRegistry& registry) {
    for (const auto& n : registry.takeNotices()) {
        std::cerr << "vcom-pair: " << n << "\n";
    }
}

void removeDeviceMapValues(lan2com::FileRegistry& registry, int number) {
    registry.batch([&] {
        if (registry.openKey(kDeviceMap)) {
            registry.deleteValue(valueName(1, number));
            registry.deleteValue(valueName(2, number));
        }
        registry.closeKey();
    });
}

void addDeviceMapValues(lan2com::FileRegistry& registry, int number, const std::string& a,
                        const std::string& b) {
    registry.batch([&] {
        registry.createKey(kDeviceMap);
        if (!registry.openKey(kDeviceMap)) {
            throw lan2com::RegistryError(std::string("Failed to create key ") + kDeviceMap);
        }
        registry.writeString(valueName(1, number), a);
        registry.writeString(valueName(2, number), b);
        registry.closeKey();
    });
}

}  // namespace vcom
