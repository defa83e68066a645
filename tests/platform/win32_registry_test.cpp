// The Win32 registry backend against the real registry under HKEY_LOCAL_MACHINE. Values are
// cross-checked with the registry API itself, so that what the backend writes is what other
// programs (regedit, an older installation) read, and the other way round. Every test works in a
// key of its own under \SOFTWARE\lan2com-tests and removes it afterwards.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "wine/wine_host.h"

namespace lan2com {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// The path below HKEY_LOCAL_MACHINE, as the registry API takes it.
std::wstring below(const std::string& path) {
    return widen(path.substr(1));
}

// Makes a volatile key under HARDWARE for this process, named by the prefix: no non-volatile key
// can be created inside it, which gives a real failure of createKey. Answers its path.
std::string volatileHardwareKey(const std::string& prefix) {
    const std::string path = "\\HARDWARE\\" + prefix + std::to_string(GetCurrentProcessId());
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, below(path).c_str(), 0, nullptr,
                              REG_OPTION_VOLATILE, KEY_WRITE | kView, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    if (key != nullptr) {
        RegCloseKey(key);
    }
    return path;
}

bool keyExists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, below(path).c_str(), 0, KEY_READ | kView, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void setRaw(const std::string& path, const std::wstring& name, DWORD type, const void* data,
            DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, below(path).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

struct RawValue {
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

RawValue getRaw(const std::string& path, const std::wstring& name) {
    RawValue value;
    HKEY key = nullptr;
    value.status =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, below(path).c_str(), 0, KEY_READ | kView, &key);
    if (value.status != ERROR_SUCCESS) {
        return value;
    }
    DWORD size = 0;
    value.status = RegQueryValueExW(key, name.c_str(), nullptr, &value.type, nullptr, &size);
    if (value.status == ERROR_SUCCESS) {
        value.data.resize(size);
        value.status =
            RegQueryValueExW(key, name.c_str(), nullptr, &value.type, value.data.data(), &size);
        value.data.resize(size);
    }
    RegCloseKey(key);
    return value;
}

std::wstring asText(const RawValue& value) {
    std::wstring text(value.data.size() / sizeof(wchar_t), L'\0');
    std::copy(value.data.begin(), value.data.begin() + text.size() * sizeof(wchar_t),
              reinterpret_cast<BYTE*>(text.data()));
    while (!text.empty() && text.back() == L'\0') {
        text.pop_back();
    }
    return text;
}

// Expects the call to throw RegistryError with exactly this message.
template <typename F>
void expectFailure(F&& call, const std::string& message) {
    try {
        call();
        ADD_FAILURE() << "no failure; expected \"" << message << "\"";
    } catch (const RegistryError& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

class Win32Registry : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        base_ = std::string("\\SOFTWARE\\lan2com-tests\\") + std::to_string(GetCurrentProcessId()) +
                "-" + info->name();
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, below(base_).c_str(), 0, nullptr,
                            REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr, &key,
                            nullptr) != ERROR_SUCCESS) {
            GTEST_SKIP() << "HKEY_LOCAL_MACHINE\\SOFTWARE is not writable (needs administrator)";
        }
        RegCloseKey(key);
        registry_ = openSystemRegistry();
        registry_->setRootKey();
    }

    void TearDown() override {
        registry_.reset();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, below(base_).c_str());
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\lan2com-tests", kView, 0);  // if empty
    }

    std::string base_;
    std::unique_ptr<Registry> registry_;
};

TEST_F(Win32Registry, WritesNativeTypesThatOtherProgramsRead) {
    Registry& r = *registry_;
    const std::string key = base_ + "\\Vesko\\Device\\ComIP";
    r.createKey(key);  // with every missing key above it
    r.createKey(key);  // an existing key is no error
    ASSERT_TRUE(r.openKey(key));
    r.writeString("AddrIP", "192.168.1.10");
    r.writeString("Имя", "Велтар ёЁ");
    r.writeString("Empty", "");
    r.writeInteger("Port", 70000);
    r.writeInteger("Neg", -1);
    r.writeInteger("Port", 10003);  // overwrites

    RawValue addr = getRaw(key, L"AddrIP");
    ASSERT_EQ(addr.status, ERROR_SUCCESS);
    EXPECT_EQ(addr.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(asText(addr), L"192.168.1.10");
    ASSERT_GE(addr.data.size(), 2u);  // stored with its terminating NUL, as regedit writes texts
    EXPECT_EQ(addr.data[addr.data.size() - 1], 0);
    EXPECT_EQ(addr.data[addr.data.size() - 2], 0);

    RawValue cyrillic = getRaw(key, L"\u0418\u043c\u044f");
    ASSERT_EQ(cyrillic.status, ERROR_SUCCESS);
    EXPECT_EQ(asText(cyrillic), L"\u0412\u0435\u043b\u0442\u0430\u0440 \u0451\u0401");

    RawValue port = getRaw(key, L"Port");
    ASSERT_EQ(port.status, ERROR_SUCCESS);
    EXPECT_EQ(port.type, static_cast<DWORD>(REG_DWORD));
    ASSERT_EQ(port.data.size(), 4u);
    DWORD portValue = 0;
    std::copy(port.data.begin(), port.data.end(), reinterpret_cast<BYTE*>(&portValue));
    EXPECT_EQ(portValue, 10003u);

    EXPECT_EQ(r.readString("Имя"), "Велтар ёЁ");
    EXPECT_EQ(r.readString("Empty"), "");
    EXPECT_EQ(r.readInteger("Neg"), -1);
    EXPECT_EQ(r.readInteger("Port"), 10003);
}

TEST_F(Win32Registry, ReadsValuesOthersWroteAndRefusesTheWrongTypes) {
    const std::string key = base_ + "\\Pair3";
    const wchar_t unterminated[] = {L'C', L'O', L'M', L'7'};  // no NUL, as some tools store texts
    setRaw(key, L"ComIn", REG_SZ, unterminated, sizeof unterminated);
    const wchar_t expand[] = L"COM8";
    setRaw(key, L"ComOut", REG_EXPAND_SZ, expand, sizeof expand);
    const wchar_t cut[] = L"10.0.0.5\0junk";
    setRaw(key, L"AddrIP", REG_SZ, cut, sizeof cut);
    const DWORD pair = 0x1203;
    setRaw(key, L"Pair", REG_DWORD, &pair, sizeof pair);
    const BYTE four[4] = {1, 0, 0, 0};
    setRaw(key, L"Binary", REG_BINARY, four, sizeof four);
    const std::uint64_t wide = 5;
    setRaw(key, L"Qword", REG_QWORD, &wide, sizeof wide);

    Registry& r = *registry_;
    ASSERT_TRUE(r.openKey(key));
    EXPECT_EQ(r.readString("ComIn"), "COM7");
    EXPECT_EQ(r.readString("ComOut"), "COM8");
    EXPECT_EQ(r.readString("AddrIP"), "10.0.0.5");  // a text ends at its first NUL
    EXPECT_EQ(r.readString("Missing"), "");
    EXPECT_EQ(r.readInteger("Pair"), 0x1203);

    expectFailure([&] { r.readString("Pair"); }, "Invalid data type for 'Pair'");
    expectFailure([&] { r.readString("Binary"); }, "Invalid data type for 'Binary'");
    expectFailure([&] { r.readInteger("ComIn"); }, "Invalid data type for 'ComIn'");
    expectFailure([&] { r.readInteger("Binary"); }, "Invalid data type for 'Binary'");
    expectFailure([&] { r.readInteger("Qword"); }, "Invalid data type for 'Qword'");
    expectFailure([&] { r.readInteger("Port"); }, "Failed to get data for 'Port'");
}

TEST_F(Win32Registry, OpenKeyNeverCreatesAndKeepsTheCurrentKeyWhenItFails) {
    Registry& r = *registry_;
    r.createKey(base_ + "\\Here");
    ASSERT_TRUE(r.openKey(base_ + "\\Here"));
    r.writeString("Mark", "here");

    EXPECT_FALSE(r.openKey(base_ + "\\Missing"));
    EXPECT_FALSE(keyExists(base_ + "\\Missing"));
    EXPECT_EQ(r.readString("Mark"), "here");  // still the key opened before
    r.writeInteger("After", 1);
    EXPECT_EQ(getRaw(base_ + "\\Here", L"After").status, ERROR_SUCCESS);

    r.closeKey();
    EXPECT_TRUE(r.valueNames().empty());
    EXPECT_TRUE(r.keyNames().empty());
    expectFailure([&] { r.writeString("Mark", "x"); }, "Failed to set data for 'Mark'");
    expectFailure([&] { r.writeInteger("Port", 1); }, "Failed to set data for 'Port'");
}

TEST_F(Win32Registry, ListsValueAndSubkeyNamesInTheRegistrysOrder) {
    Registry& r = *registry_;
    r.createKey(base_);
    ASSERT_TRUE(r.openKey(base_));
    const std::string longName(300, 'v');  // longer than any key name may be
    for (const std::string name :
         {"\\Device\\com0com20", "\\Device\\com0com10", "Mid", longName.c_str()}) {
        r.writeString(name, "x");
    }
    for (const std::string name : {"Pair10", "Pair2", "Pair1", "Канал"}) {
        r.createKey(base_ + "\\" + name);
    }
    ASSERT_TRUE(r.openKey(base_));

    const std::vector<std::string> created = {"\\Device\\com0com20", "\\Device\\com0com10", "Mid",
                                              longName};
    const std::vector<std::string> sorted = {"\\Device\\com0com10", "\\Device\\com0com20", "Mid",
                                             longName};
    if (wine::runningUnderWine()) {
        // Wine keeps a key's values sorted by name; Windows lists them as they were created,
        // which is the order the device-map pairing relies on.
        EXPECT_EQ(r.valueNames(), sorted);
    } else {
        EXPECT_EQ(r.valueNames(), created);
    }
    // Subkeys come sorted by name on both; the registry promises no order, so only the names are
    // checked.
    std::vector<std::string> keys = r.keyNames();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"Pair1", "Pair10", "Pair2", "Канал"}));
}

TEST_F(Win32Registry, DeleteKeyRemovesTheWholeTreeEvenWhileItIsTheCurrentKey) {
    Registry& r = *registry_;
    const std::string vendor = base_ + "\\Vesko";
    for (const char* pair : {"\\Device\\ComIP\\Pair1", "\\Device\\ComIP\\Pair2\\Deeper"}) {
        r.createKey(vendor + pair);
    }
    ASSERT_TRUE(r.openKey(vendor + "\\Device\\ComIP\\Pair1"));
    r.writeInteger("Pair", 1);

    // The store opens the vendor key and deletes it while it is open, then builds it anew.
    ASSERT_TRUE(r.openKey(vendor));
    EXPECT_TRUE(r.deleteKey(vendor));
    EXPECT_FALSE(keyExists(vendor));
    EXPECT_TRUE(keyExists(base_));
    EXPECT_FALSE(r.deleteKey(vendor));  // nothing left to delete

    r.createKey(vendor + "\\Device\\ComIP");
    ASSERT_TRUE(r.openKey(vendor + "\\Device\\ComIP"));
    r.writeString("AddrIP", "10.0.0.1");
    EXPECT_EQ(asText(getRaw(vendor + "\\Device\\ComIP", L"AddrIP")), L"10.0.0.1");
    EXPECT_TRUE(r.keyNames().empty());
}

TEST_F(Win32Registry, ABatchThatFailsHalfWayPutsBackWhatItDeletedAndRemovesWhatItMade) {
    Registry& r = *registry_;
    const std::string vendor = base_ + "\\Vesko";
    const std::string config = vendor + "\\Device\\ComIP";
    r.createKey(config + "\\Pair1");
    ASSERT_TRUE(r.openKey(config));
    r.writeString("AddrIP", "10.0.0.1");
    ASSERT_TRUE(r.openKey(config + "\\Pair1"));
    r.writeInteger("Port", 10003);
    const BYTE blob[] = {1, 2, 3};
    setRaw(config + "\\Pair1", L"Other", REG_BINARY, blob, sizeof blob);
    r.closeKey();
    // A non-volatile key cannot be made inside a volatile one: a real failure half-way.
    const std::string hardware = volatileHardwareKey("lan2com-batch-");
    ASSERT_TRUE(keyExists(hardware));

    // What the store does: delete the configuration, write the new one, and fail at its end.
    expectFailure(
        [&] {
            r.batch([&] {
                r.setRootKey();
                EXPECT_TRUE(r.deleteKey(vendor));
                r.createKey(config + "\\Pair7");
                ASSERT_TRUE(r.openKey(config));
                r.writeString("AddrIP", "10.0.0.99");
                r.writeString("New", "x");
                r.createKey(hardware + "\\Child");
            });
        },
        "Failed to create key " + hardware + "\\Child");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, below(hardware).c_str());

    EXPECT_FALSE(keyExists(config + "\\Pair7"));
    EXPECT_EQ(asText(getRaw(config, L"AddrIP")), L"10.0.0.1");
    EXPECT_EQ(getRaw(config, L"New").status, ERROR_FILE_NOT_FOUND);
    const RawValue other = getRaw(config + "\\Pair1", L"Other");
    EXPECT_EQ(other.type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(other.data, std::vector<BYTE>(blob, blob + sizeof blob));
    ASSERT_TRUE(r.openKey(config + "\\Pair1"));
    EXPECT_EQ(r.readInteger("Port"), 10003);

    // A batch that succeeds keeps all it did.
    r.batch([&] {
        EXPECT_TRUE(r.deleteKey(vendor));
        r.createKey(config + "\\Pair2");
    });
    EXPECT_FALSE(keyExists(config + "\\Pair1"));
    EXPECT_TRUE(keyExists(config + "\\Pair2"));
}

TEST_F(Win32Registry, CreateKeyFailuresNameThePath) {
    Registry& r = *registry_;
    expectFailure([&] { r.createKey("\\"); }, "Failed to create key \\");
    // A key inside a volatile parent must be volatile itself: the system creates none there.
    const std::string hardware = volatileHardwareKey("lan2com-test-");
    ASSERT_TRUE(keyExists(hardware));
    expectFailure([&] { r.createKey(hardware + "\\Child"); },
                  "Failed to create key " + hardware + "\\Child");
    EXPECT_FALSE(keyExists(hardware + "\\Child"));
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, below(hardware).c_str());
}

}  // namespace
}  // namespace lan2com
