#include "channels/config_store.h"

#include <algorithm>
#include <map>
#include <optional>
#include <utility>

#include "platform/cp1251.h"

namespace lan2com {
namespace {

constexpr int kMaxChannelNumber = 254;  // 255 marks an empty slot

// The pair number of a device-map name accepted by the position test: the decimal number after
// the suffix's first character. nullopt when there is none or the channel number (the pair number
// plus one) would fall outside 1 … 254.
std::optional<int> pairNumber(const std::u32string& suffix) {
    if (suffix.size() < 2 || suffix.size() > 4) {
        return std::nullopt;
    }
    int n = 0;
    for (std::size_t i = 1; i < suffix.size(); ++i) {
        if (suffix[i] < U'0' || suffix[i] > U'9') {
            return std::nullopt;
        }
        n = n * 10 + static_cast<int>(suffix[i] - U'0');
    }
    if (n + 1 > kMaxChannelNumber) {
        return std::nullopt;
    }
    return n;
}

// What a device-map value name says about the port it names.
struct DeviceMapName {
    enum class Kind {
        Other,            // not a virtual pair's port by its name
        ApplicationHalf,  // \Device\com0com1N: the port lan2com opens, of pair N
        MonitorHalf,      // \Device\com0com2N: the monitoring software's port, of pair N
        Consecutive,      // "com0com" at the ninth character, another suffix: the next value
                          // is its second port
        BadNumber,        // "com0com" at the ninth character without a usable pair number
    };
    Kind kind = Kind::Other;
    int number = 0;  // the pair number (the channel number is one more)
};

DeviceMapName classifyDeviceMapName(const std::string& utf8Name) {
    const std::u32string name = decodeUtf8(utf8Name);
    if (name.find(U"com0com") != 8) {
        return {};
    }
    const std::u32string suffix = name.substr(15);
    const auto number = pairNumber(suffix);
    if (!number) {
        return {DeviceMapName::Kind::BadNumber, 0};
    }
    switch (suffix[0]) {
        case U'1':
            return {DeviceMapName::Kind::ApplicationHalf, *number};
        case U'2':
            return {DeviceMapName::Kind::MonitorHalf, *number};
        default:
            return {DeviceMapName::Kind::Consecutive, *number};
    }
}

// A pair found in the device map: its channel number and the positions of its two values.
struct FoundPair {
    int channel;
    std::size_t in;
    std::size_t out;
};

std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            out += separator;
        }
        out += items[i];
    }
    return out;
}

bool startsWith(const std::string& s, std::string_view prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

// Reads the values of one channel subkey (the current key) and says what is wrong with them.
struct SubkeyReader {
    Registry& registry;
    std::vector<std::string> problems;

    std::optional<std::int32_t> integer(const char* name) {
        try {
            return registry.readInteger(name);
        } catch (const RegistryError& e) {
            if (startsWith(e.what(), "Failed to get data")) {
                problems.push_back(std::string("нет значения ") + name);
            } else {
                problems.push_back(std::string("значение ") + name + " не целое число");
            }
            return std::nullopt;
        }
    }

    std::string text(const char* name) {
        try {
            return registry.readString(name);
        } catch (const RegistryError&) {
            problems.push_back(std::string("значение ") + name + " не текст");
            return {};
        }
    }
};

}  // namespace

PairDiscovery discoverPairs(Registry& registry, std::array<PortPair, kSlots>& portPairs) {
    PairDiscovery out;
    for (PortPair& entry : portPairs) {
        entry = PortPair{};
    }
    registry.setRootKey();
    std::vector<std::string> names;
    if (registry.openKey(std::string(kDeviceMapKey))) {
        names = registry.valueNames();
    }
    if (names.size() < 2) {
        out.noPairs = true;
        registry.closeKey();
        return out;
    }

    std::vector<DeviceMapName> kinds;
    kinds.reserve(names.size());
    for (const std::string& name : names) {
        kinds.push_back(classifyDeviceMapName(name));
    }

    std::vector<FoundPair> found;
    std::vector<std::string> badNames;
    std::vector<std::string> lonely;

    // Halves named after the driver's pattern pair by their number, wherever each one sits.
    std::map<int, std::pair<std::vector<std::size_t>, std::vector<std::size_t>>> halves;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (kinds[i].kind == DeviceMapName::Kind::ApplicationHalf) {
            halves[kinds[i].number].first.push_back(i);
        } else if (kinds[i].kind == DeviceMapName::Kind::MonitorHalf) {
            halves[kinds[i].number].second.push_back(i);
        }
    }
    for (const auto& [number, sides] : halves) {
        const auto& [in, outSide] = sides;
        if (in.size() == 1 && outSide.size() == 1) {
            found.push_back(FoundPair{number + 1, in[0], outSide[0]});
            continue;
        }
        // A half without its partner, or a half named twice: which port the monitoring software
        // opens is not known, so none of them is offered.
        for (const auto* side : {&in, &outSide}) {
            for (const std::size_t i : *side) {
                lonely.push_back("«" + names[i] + "» (" +
                                 cutText(registry.readString(names[i]), 7) + ")");
            }
        }
    }

    // Other names that hold "com0com" at the ninth character take the next value as their
    // second port, unless that value is a half named after the pattern (its own pair takes it).
    std::size_t i = 0;
    while (i < names.size()) {
        switch (kinds[i].kind) {
            case DeviceMapName::Kind::BadNumber:
                badNames.push_back("«" + names[i] + "»");
                ++i;  // only this value: the next one is examined as usual
                continue;
            case DeviceMapName::Kind::Consecutive:
                break;
            default:
                ++i;
                continue;
        }
        const bool partnerFree = i + 1 < names.size() &&
                                 kinds[i + 1].kind != DeviceMapName::Kind::ApplicationHalf &&
                                 kinds[i + 1].kind != DeviceMapName::Kind::MonitorHalf;
        if (!partnerFree) {
            lonely.push_back("«" + names[i] + "» (" + cutText(registry.readString(names[i]), 7) +
                             ")");
            ++i;
            continue;
        }
        found.push_back(FoundPair{kinds[i].number + 1, i, i + 1});
        i += 2;
    }

    // The same order at every start, whatever order the device map lists its values in.
    std::stable_sort(found.begin(), found.end(),
                     [](const FoundPair& a, const FoundPair& b) { return a.channel < b.channel; });

    std::vector<std::string> surplus;
    for (const FoundPair& pair : found) {
        const std::string comIn = registry.readString(names[pair.in]);
        const std::string comOut = registry.readString(names[pair.out]);
        if (out.count == kSlots) {
            surplus.push_back(cutText(comIn, 7) + "->" + cutText(comOut, 7));
            continue;
        }
        PortPair& entry = portPairs[static_cast<std::size_t>(out.count)];
        entry.Pair = static_cast<std::uint8_t>(pair.channel);
        entry.ComIn = comIn;
        entry.ComOut = comOut;
        out.comboItems.push_back(ComboItem{entry.ComIn.str(), out.count});
        ++out.count;
    }
    registry.closeKey();

    if (!badNames.empty()) {
        out.warnings.push_back(
            "В списке последовательных портов есть значения com0com без верного номера пары "
            "(номер канала должен быть от 1 до 254): " +
            joined(badNames, ", ") + ". Они пропущены.");
    }
    if (!lonely.empty()) {
        out.warnings.push_back(
            "В списке последовательных портов есть порты com0com без второго порта своей пары "
            "(или с номером пары, повторенным в нескольких значениях): " +
            joined(lonely, ", ") +
            ". Эти порты не предлагаются ни одному каналу: проверьте пары в настройке com0com.");
    }
    if (!surplus.empty()) {
        out.warnings.push_back("Найдено больше 16 пар com0com. Лишние пары не используются: " +
                               joined(surplus, ", ") + ".");
    }
    return out;
}

ChannelLoad loadChannels(Registry& registry, ChannelTable& table) {
    ChannelLoad out;
    table.emptyAll();
    registry.setRootKey();
    const std::string configKey(kConfigKey);
    if (!registry.openKey(configKey)) {
        return out;
    }
    out.configurationFound = true;
    try {
        out.localAddress = registry.readString("AddrIP");
    } catch (const RegistryError&) {
        out.receivePort = std::string(kPortInFallback);  // localAddressCombo keeps what it holds
    }

    const std::vector<std::string> subkeys = registry.keyNames();
    out.subkeyCount = static_cast<int>(subkeys.size());
    std::vector<std::string> skipped;
    std::vector<std::string> surplus;
    for (const std::string& name : subkeys) {
        if (out.loaded == kSlots) {
            surplus.push_back(name);
            continue;
        }
        if (!registry.openKey(configKey + "\\" + name)) {
            skipped.push_back(name + ": раздел не открывается");
            continue;
        }
        SubkeyReader r{registry, {}};
        const auto pair = r.integer("Pair");
        const std::string comIn = r.text("ComIn");
        const std::string comOut = r.text("ComOut");
        const std::string addrIP = r.text("AddrIP");
        const auto port = r.integer("Port");
        const auto conv = r.integer("Conv");
        if (pair && (*pair < 1 || *pair > kMaxChannelNumber)) {
            r.problems.push_back("номер канала Pair = " + std::to_string(*pair) +
                                 " вне диапазона 1..254");
        }
        if (conv && (*conv < 0 || *conv > 2)) {
            r.problems.push_back("перекодировка Conv = " + std::to_string(*conv) +
                                 " вне диапазона 0..2");
        }
        if (!r.problems.empty()) {
            skipped.push_back(name + ": " + joined(r.problems, "; "));
            continue;
        }
        ChannelRecord& slot = table[out.loaded];
        slot.Pair = static_cast<std::uint8_t>(*pair);
        slot.ComIn = comIn;
        slot.ComOut = comOut;
        slot.AddrIP = addrIP;
        slot.Port = static_cast<std::uint32_t>(*port);
        slot.Fnd = false;
        slot.Cnvrt = static_cast<std::uint8_t>(*conv);
        ++out.loaded;
    }
    registry.closeKey();

    if (!skipped.empty()) {
        out.warnings.push_back("Не все каналы загружены из реестра. Пропущены разделы настроек:\n" +
                               joined(skipped, "\n"));
    }
    if (!surplus.empty()) {
        out.warnings.push_back(
            "В реестре записано больше 16 каналов. Не загружены: " + joined(surplus, ", ") + ".");
    }
    return out;
}

void storeChannels(Registry& registry, const ChannelTable& table, const std::string& localAddress,
                   bool listShowsChannel) {
    registry.batch([&] {
        registry.setRootKey();
        // The journal's retention is the station's setting, not the table's: it outlives a store.
        std::optional<std::int32_t> journalDays;
        if (registry.openKey(std::string(kConfigKey))) {
            try {
                journalDays = registry.readInteger(kJournalDaysValue);
            } catch (const RegistryError&) {
                // not set, or not a number: nothing to keep
            }
            registry.closeKey();
        }
        registry.deleteKey(std::string(kVendorKey));  // the answer does not matter: gone is gone
        if (!listShowsChannel) {
            return;
        }
        const std::string configKey(kConfigKey);
        registry.createKey(configKey);
        if (!registry.openKey(configKey)) {
            throw RegistryError("Failed to create key " + configKey);
        }
        registry.writeString("AddrIP", localAddress);
        if (journalDays) {
            registry.writeInteger(kJournalDaysValue, *journalDays);
        }
        table.forEachOccupied([&](int, const ChannelRecord& p) {
            const std::string key = configKey + "\\Pair" + std::to_string(p.Pair);
            registry.createKey(key);
            if (!registry.openKey(key)) {
                throw RegistryError("Failed to create key " + key);
            }
            registry.writeInteger("Pair", p.Pair);
            registry.writeString("AddrIP", p.AddrIP.str());
            registry.writeString("ComIn", p.ComIn.str());
            registry.writeString("ComOut", p.ComOut.str());
            registry.writeInteger("Port", static_cast<std::int32_t>(p.Port));
            registry.writeInteger("Conv", p.Cnvrt);
        });
        registry.closeKey();
    });
}

}  // namespace lan2com
