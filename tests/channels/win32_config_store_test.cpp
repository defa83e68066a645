// The configuration store over the Win32 registry: the device map that com0com keeps under the
// volatile HARDWARE hive, and the configuration under \SOFTWARE\Vesko, which must survive a
// restart of Windows. These tests change the device map and the system's own configuration key,
// so they run only in the throwaway Wine prefix of scripts/wine-test, or on a Windows test machine
// that allows it with LAN2COM_TEST_SYSTEM_REGISTRY=1.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "channels/config_store.h"
#include "platform/registry.h"
#include "wine/wine_host.h"

namespace lan2com {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
const wchar_t kDeviceMap[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
const wchar_t kVendor[] = L"SOFTWARE\\Vesko";
const wchar_t kConfig[] = L"SOFTWARE\\Vesko\\Device\\ComIP";

struct MapValue {
    std::wstring name;
    std::wstring port;
};

std::vector<MapValue> readDeviceMap() {
    std::vector<MapValue> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceMap, 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return values;
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[512];
        DWORD nameLen = 512;
        wchar_t data[256] = {};
        DWORD dataSize = sizeof data - sizeof(wchar_t);
        DWORD type = 0;
        if (RegEnumValueW(key, i, name, &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data),
                          &dataSize) != ERROR_SUCCESS) {
            break;
        }
        values.push_back({std::wstring(name, nameLen), std::wstring(data)});
    }
    RegCloseKey(key);
    return values;
}

// Replaces the device map's values, as the serial drivers would have made them. The key is part
// of the volatile HARDWARE hive, so its values are volatile too.
void writeDeviceMap(const std::vector<MapValue>& values) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDeviceMap, 0, nullptr, REG_OPTION_VOLATILE,
                              KEY_READ | KEY_WRITE | kView, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    for (const MapValue& old : readDeviceMap()) {
        RegDeleteValueW(key, old.name.c_str());
    }
    for (const MapValue& v : values) {
        ASSERT_EQ(RegSetValueExW(key, v.name.c_str(), 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(v.port.c_str()),
                                 static_cast<DWORD>((v.port.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
    RegCloseKey(key);
}

bool keyExists(const wchar_t* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

DWORD rawDword(const std::wstring& path, const wchar_t* name, DWORD* type) {
    DWORD data = 0;
    DWORD size = sizeof data;
    EXPECT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name,
                           RRF_RT_ANY | RRF_SUBKEY_WOW6464KEY, type, &data, &size),
              ERROR_SUCCESS)
        << "value missing";
    return data;
}

ChannelRecord channel(std::uint8_t pair, const char* comIn, const char* comOut, const char* addr,
                      std::uint32_t port, std::uint8_t conv) {
    ChannelRecord p;
    p.Pair = pair;
    p.ComIn = comIn;
    p.ComOut = comOut;
    p.AddrIP = addr;
    p.Port = port;
    p.Cnvrt = conv;
    return p;
}

class Win32ConfigStore : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* allowed = std::getenv("LAN2COM_TEST_SYSTEM_REGISTRY");
        if (!wine::runningUnderWine() && (allowed == nullptr || std::string(allowed) != "1")) {
            GTEST_SKIP() << "changes the device map and \\SOFTWARE\\Vesko: runs under Wine, or "
                            "with LAN2COM_TEST_SYSTEM_REGISTRY=1";
        }
        savedMap_ = readDeviceMap();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor);
        registry_ = openSystemRegistry();
    }

    void TearDown() override {
        if (registry_) {
            registry_.reset();
            writeDeviceMap(savedMap_);
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, kVendor);
        }
    }

    std::vector<MapValue> savedMap_;
    std::unique_ptr<Registry> registry_;
};

TEST_F(Win32ConfigStore, DiscoverPairsReadsTheDeviceMapThatComZeroComKeeps) {
    // Created in an order that Windows (creation order) and Wine (sorted) list alike.
    writeDeviceMap({{L"\\Device\\com0com10", L"COM21"},
                    {L"\\Device\\com0com20", L"COM22"},
                    {L"\\Device\\Serial0", L"COM1"}});
    std::array<PortPair, kSlots> vcp{};
    const PairDiscovery found = discoverPairs(*registry_, vcp);
    EXPECT_FALSE(found.noPairs);
    ASSERT_EQ(found.count, 1);
    EXPECT_EQ(vcp[0].Pair, 1);
    EXPECT_EQ(vcp[0].ComIn, "COM21");
    EXPECT_EQ(vcp[0].ComOut, "COM22");
    EXPECT_EQ(vcp[1].Pair, 0);
    EXPECT_EQ(found.comboItems, (std::vector<ComboItem>{{"COM21", 0}}));
    // Discovery only reads: the device map is as it was.
    EXPECT_EQ(readDeviceMap().size(), 3u);

    writeDeviceMap({{L"\\Device\\com0com10", L"COM21"}});
    vcp = {};
    EXPECT_TRUE(discoverPairs(*registry_, vcp).noPairs);
}

TEST_F(Win32ConfigStore, StoredChannelsSurviveInANonVolatileKeyAndLoadBack) {
    ChannelTable table;
    table.emptyAll();
    table[0] = channel(2, "COM11", "COM12", "10.0.0.5", 70000, 1);
    table[1] = channel(10, "COM13", "COM14", std::string(kAnySource).c_str(), 10003, 0);
    table[2] = channel(1, "COM15", "COM16", "192.168.100.200", 5000, 2);
    storeChannels(*registry_, table, "192.168.1.10", true);

    // Native types where another program (or an older installation) looks for them.
    const std::wstring pair2 = std::wstring(kConfig) + L"\\Pair2";
    DWORD type = 0;
    EXPECT_EQ(rawDword(pair2, L"Port", &type), 70000u);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(rawDword(pair2, L"Conv", &type), 1u);
    wchar_t text[64] = {};
    DWORD size = sizeof text;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kConfig, L"AddrIP",
                           RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, text, &size),
              ERROR_SUCCESS);
    EXPECT_STREQ(text, L"192.168.1.10");

    // Not volatile: a volatile key could not hold a non-volatile subkey, and it would be gone
    // after the next restart of Windows.
    HKEY probe = nullptr;
    const std::wstring probePath = std::wstring(kConfig) + L"\\nonvolatile-probe";
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, probePath.c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr, &probe, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(probe);
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, probePath.c_str(), kView, 0);

    ChannelTable loaded;
    const ChannelLoad result = loadChannels(*registry_, loaded);
    EXPECT_TRUE(result.configurationFound);
    EXPECT_EQ(result.localAddress, std::optional<std::string>("192.168.1.10"));
    EXPECT_FALSE(result.receivePort.has_value());
    EXPECT_TRUE(result.warnings.empty());
    ASSERT_EQ(result.loaded, 3);
    // Slots follow the registry's listing of the subkeys, which sorts Pair10 before Pair2.
    EXPECT_EQ(loaded[0].Pair, 1);
    EXPECT_EQ(loaded[1].Pair, 10);
    EXPECT_EQ(loaded[2].Pair, 2);
    EXPECT_EQ(loaded[2].ComIn, "COM11");
    EXPECT_EQ(loaded[2].ComOut, "COM12");
    EXPECT_EQ(loaded[2].AddrIP, "10.0.0.5");
    EXPECT_EQ(loaded[2].Port, 70000u);
    EXPECT_EQ(loaded[2].Cnvrt, 1);
    EXPECT_EQ(loaded[1].AddrIP, kAnySource);
    EXPECT_EQ(loaded[0].Cnvrt, 2);
    EXPECT_FALSE(loaded[0].Fnd);
    EXPECT_TRUE(loaded[3].isEmpty());
}

TEST_F(Win32ConfigStore, StoringReplacesTheWholeConfigurationAndAnEmptyListRemovesIt) {
    ChannelTable table;
    table.emptyAll();
    table[0] = channel(1, "COM11", "COM12", "10.0.0.5", 10001, 0);
    table[1] = channel(2, "COM13", "COM14", "10.0.0.6", 10002, 0);
    storeChannels(*registry_, table, "192.168.1.10", true);

    table.removeSlot(0);
    storeChannels(*registry_, table, "192.168.1.11", true);
    ChannelTable loaded;
    ChannelLoad result = loadChannels(*registry_, loaded);
    ASSERT_EQ(result.loaded, 1);
    EXPECT_EQ(result.subkeyCount, 1);
    EXPECT_EQ(loaded[0].Pair, 2);
    EXPECT_EQ(result.localAddress, std::optional<std::string>("192.168.1.11"));

    storeChannels(*registry_, table, "192.168.1.11", false);
    EXPECT_FALSE(keyExists(kVendor));
    ChannelTable none;
    result = loadChannels(*registry_, none);
    EXPECT_FALSE(result.configurationFound);
    EXPECT_EQ(result.loaded, 0);
}

}  // namespace
}  // namespace lan2com
