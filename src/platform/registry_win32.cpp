// The registry of Windows: HKEY_LOCAL_MACHINE, always in its 64-bit view (KEY_WOW64_64KEY), so
// that a 32-bit build and a 64-bit build see the same keys under SOFTWARE.

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601  // RegDeleteKeyExW: Windows Vista and later
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

#include "platform/registry.h"

namespace lan2com {
namespace {

std::wstring widen(const std::string& utf8) {
    if (utf8.empty()) {
        return {};
    }
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string narrow(const wchar_t* text, std::size_t length) {
    if (length == 0) {
        return {};
    }
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr,
                          nullptr);
    return out;
}

// "\SOFTWARE\Vesko\" -> L"SOFTWARE\Vesko": the registry functions take paths below the root
// without a leading backslash.
std::wstring subPath(const std::string& path) {
    std::wstring p = widen(path);
    while (!p.empty() && p.front() == L'\\') {
        p.erase(p.begin());
    }
    while (!p.empty() && p.back() == L'\\') {
        p.pop_back();
    }
    return p;
}

constexpr REGSAM kView = KEY_WOW64_64KEY;

// Deletes a subkey of `parent` with everything below it, deepest first.
bool deleteTree(HKEY parent, const std::wstring& name) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, name.c_str(), 0,
                        KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE | kView,
                        &key) != ERROR_SUCCESS) {
        return false;
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0;; ++i) {
        wchar_t buf[256];  // key names are at most 255 characters
        DWORD len = 256;
        const LONG rc = ::RegEnumKeyExW(key, i, buf, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc != ERROR_SUCCESS) {
            break;
        }
        children.emplace_back(buf, len);
    }
    bool ok = true;
    for (const auto& child : children) {
        ok = deleteTree(key, child) && ok;
    }
    ::RegCloseKey(key);
    return ::RegDeleteKeyExW(parent, name.c_str(), kView, 0) == ERROR_SUCCESS && ok;
}

class Win32Registry : public Registry {
  public:
    ~Win32Registry() override { CloseKey(); }

    void SetRootKey() override { CloseKey(); }

    bool OpenKey(const std::string& path) override {
        const std::wstring sub = subPath(path);
        HKEY key = nullptr;
        LONG rc =
            ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ | KEY_WRITE | kView, &key);
        if (rc == ERROR_ACCESS_DENIED) {
            // Without the right to write (the device map, or an account without administrator
            // rights) the key is still opened for reading; a write then fails with its message.
            rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ | kView, &key);
        }
        if (rc != ERROR_SUCCESS) {
            return false;
        }
        CloseKey();
        current_ = key;
        return true;
    }

    std::vector<std::string> GetValueNames() override {
        std::vector<std::string> names;
        if (current_ == nullptr) {
            return names;
        }
        DWORD maxLen = 0;
        ::RegQueryInfoKeyW(current_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                           &maxLen, nullptr, nullptr, nullptr);
        std::vector<wchar_t> buf(maxLen + 2);
        for (DWORD i = 0;; ++i) {
            DWORD len = static_cast<DWORD>(buf.size());
            const LONG rc =
                ::RegEnumValueW(current_, i, buf.data(), &len, nullptr, nullptr, nullptr, nullptr);
            if (rc == ERROR_MORE_DATA) {  // a value added meanwhile with a longer name
                buf.resize(buf.size() * 2 + 256);
                --i;
                continue;
            }
            if (rc != ERROR_SUCCESS) {
                break;
            }
            names.push_back(narrow(buf.data(), len));
        }
        return names;
    }

    std::vector<std::string> GetKeyNames() override {
        std::vector<std::string> names;
        if (current_ == nullptr) {
            return names;
        }
        for (DWORD i = 0;; ++i) {
            wchar_t buf[256];
            DWORD len = 256;
            const LONG rc =
                ::RegEnumKeyExW(current_, i, buf, &len, nullptr, nullptr, nullptr, nullptr);
            if (rc != ERROR_SUCCESS) {
                break;
            }
            names.push_back(narrow(buf, len));
        }
        return names;
    }

    std::string ReadString(const std::string& name) override {
        if (current_ == nullptr) {
            return {};
        }
        const std::wstring wname = widen(name);
        DWORD type = 0;
        DWORD size = 0;
        LONG rc = ::RegQueryValueExW(current_, wname.c_str(), nullptr, &type, nullptr, &size);
        if (rc == ERROR_FILE_NOT_FOUND) {
            return {};
        }
        if (rc != ERROR_SUCCESS) {
            throw ERegistryException("Failed to get data for '" + name + "'");
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            throw ERegistryException("Invalid data type for '" + name + "'");
        }
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
        rc = ::RegQueryValueExW(current_, wname.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(buf.data()), &got);
        if (rc != ERROR_SUCCESS) {
            throw ERegistryException("Failed to get data for '" + name + "'");
        }
        std::size_t len = got / sizeof(wchar_t);
        for (std::size_t i = 0; i < len; ++i) {  // the text ends at its first NUL
            if (buf[i] == L'\0') {
                len = i;
                break;
            }
        }
        return narrow(buf.data(), len);
    }

    std::int32_t ReadInteger(const std::string& name) override {
        if (current_ == nullptr) {
            throw ERegistryException("Failed to get data for '" + name + "'");
        }
        const std::wstring wname = widen(name);
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        const LONG rc = ::RegQueryValueExW(current_, wname.c_str(), nullptr, &type,
                                           reinterpret_cast<BYTE*>(&data), &size);
        if (rc == ERROR_FILE_NOT_FOUND) {
            throw ERegistryException("Failed to get data for '" + name + "'");
        }
        if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) &&
            (type != REG_DWORD || size != sizeof data)) {
            throw ERegistryException("Invalid data type for '" + name + "'");
        }
        if (rc != ERROR_SUCCESS) {
            throw ERegistryException("Failed to get data for '" + name + "'");
        }
        return static_cast<std::int32_t>(data);
    }

    void CreateKey(const std::string& path) override {
        const std::wstring sub = subPath(path);
        HKEY key = nullptr;
        if (sub.empty() ||
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            throw ERegistryException("Failed to create key " + path);
        }
        ::RegCloseKey(key);
    }

    void WriteString(const std::string& name, const std::string& text) override {
        std::wstring data = widen(text.substr(0, text.find('\0')));
        const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
        if (current_ == nullptr ||
            ::RegSetValueExW(current_, widen(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.c_str()), bytes) != ERROR_SUCCESS) {
            throw ERegistryException("Failed to set data for '" + name + "'");
        }
    }

    void WriteInteger(const std::string& name, std::int32_t value) override {
        const DWORD data = static_cast<DWORD>(value);
        if (current_ == nullptr ||
            ::RegSetValueExW(current_, widen(name).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS) {
            throw ERegistryException("Failed to set data for '" + name + "'");
        }
    }

    bool DeleteKey(const std::string& path) override {
        const std::wstring sub = subPath(path);
        if (sub.empty()) {
            return false;
        }
        const std::size_t slash = sub.rfind(L'\\');
        HKEY parent = HKEY_LOCAL_MACHINE;
        bool ownParent = false;
        if (slash != std::wstring::npos) {
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.substr(0, slash).c_str(), 0,
                                KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | kView,
                                &parent) != ERROR_SUCCESS) {
                return false;
            }
            ownParent = true;
        }
        const bool ok =
            deleteTree(parent, slash == std::wstring::npos ? sub : sub.substr(slash + 1));
        if (ownParent) {
            ::RegCloseKey(parent);
        }
        return ok;
    }

    void CloseKey() override {
        if (current_ != nullptr) {
            ::RegCloseKey(current_);
            current_ = nullptr;
        }
    }

    bool DeleteValue(const std::string& name) override {
        return current_ != nullptr &&
               ::RegDeleteValueW(current_, widen(name).c_str()) == ERROR_SUCCESS;
    }

  private:
    HKEY current_ = nullptr;
};

}  // namespace

std::unique_ptr<Registry> openSystemRegistry() {
    return std::make_unique<Win32Registry>();
}

}  // namespace lan2com
