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

#include <functional>
#include <string>
#include <utility>
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

// A key as it was, to be put back: its values (any type, as raw data) and its subkeys.
struct SavedKey {
    struct Value {
        std::wstring name;
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
    };
    std::wstring name;
    std::vector<Value> values;
    std::vector<SavedKey> subkeys;
};

// Reads subkey `name` of `parent` with everything below it. The registry nests at most 512 keys
// deep, and so does this recursion.
bool saveTree(HKEY parent, const std::wstring& name, SavedKey& out) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | kView, &key) != ERROR_SUCCESS) {
        return false;
    }
    out.name = name;
    DWORD longestName = 0;
    DWORD longestData = 0;
    bool ok = ::RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                 &longestName, &longestData, nullptr, nullptr) == ERROR_SUCCESS;
    for (DWORD i = 0; ok; ++i) {
        std::vector<wchar_t> nameBuf(longestName + 2);
        DWORD nameLen = static_cast<DWORD>(nameBuf.size());
        SavedKey::Value v;
        v.data.resize(longestData + 2);
        DWORD dataLen = static_cast<DWORD>(v.data.size());
        const LONG rc = ::RegEnumValueW(key, i, nameBuf.data(), &nameLen, nullptr, &v.type,
                                        v.data.data(), &dataLen);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ok = rc == ERROR_SUCCESS;
        v.name.assign(nameBuf.data(), nameLen);
        v.data.resize(dataLen);
        out.values.push_back(std::move(v));
    }
    std::vector<std::wstring> children;
    for (DWORD i = 0; ok; ++i) {
        wchar_t buf[256];  // key names are at most 255 characters
        DWORD len = 256;
        const LONG rc = ::RegEnumKeyExW(key, i, buf, &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) {
            break;
        }
        ok = rc == ERROR_SUCCESS;
        children.emplace_back(buf, len);
    }
    for (const std::wstring& child : children) {
        out.subkeys.emplace_back();
        ok = ok && saveTree(key, child, out.subkeys.back());
    }
    ::RegCloseKey(key);
    return ok;
}

// Makes subkey `saved.name` of `parent` again as it was saved.
bool restoreTree(HKEY parent, const SavedKey& saved) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(parent, saved.name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                          KEY_WRITE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    bool ok = true;
    for (const SavedKey::Value& v : saved.values) {
        ok = ::RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(),
                              static_cast<DWORD>(v.data.size())) == ERROR_SUCCESS &&
             ok;
    }
    for (const SavedKey& sub : saved.subkeys) {
        ok = restoreTree(key, sub) && ok;
    }
    ::RegCloseKey(key);
    return ok;
}

// Splits L"A\B\C" into L"A\B" and L"C" (the parent is empty for a key below the root).
std::pair<std::wstring, std::wstring> splitLast(const std::wstring& sub) {
    const std::size_t slash = sub.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return {std::wstring(), sub};
    }
    return {sub.substr(0, slash), sub.substr(slash + 1)};
}

bool keyExists(const std::wstring& sub) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, KEY_READ | kView, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    ::RegCloseKey(key);
    return true;
}

bool deleteTreeAt(const std::wstring& sub) {
    const auto [parentPath, name] = splitLast(sub);
    HKEY parent = HKEY_LOCAL_MACHINE;
    if (!parentPath.empty() && ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, parentPath.c_str(), 0,
                                               KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | kView,
                                               &parent) != ERROR_SUCCESS) {
        return false;
    }
    const bool ok = deleteTree(parent, name);
    if (parent != HKEY_LOCAL_MACHINE) {
        ::RegCloseKey(parent);
    }
    return ok;
}

// One change of a batch, undone when the batch fails.
struct UndoStep {
    enum class Kind { RemoveCreated, PutBackTree, PutBackValue } kind;
    std::wstring path;      // below the root: the key made, the key deleted, the key of the value
    SavedKey tree;          // PutBackTree
    bool existed = false;   // PutBackValue: whether the value was there before
    SavedKey::Value value;  // PutBackValue: its name and, when it existed, its type and data
};

bool undo(const UndoStep& step) {
    switch (step.kind) {
        case UndoStep::Kind::RemoveCreated:
            return !keyExists(step.path) || deleteTreeAt(step.path);
        case UndoStep::Kind::PutBackTree: {
            if (keyExists(step.path) && !deleteTreeAt(step.path)) {
                return false;
            }
            const std::wstring parentPath = splitLast(step.path).first;
            HKEY parent = HKEY_LOCAL_MACHINE;
            if (!parentPath.empty() &&
                ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, parentPath.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, KEY_WRITE | kView, nullptr, &parent,
                                  nullptr) != ERROR_SUCCESS) {
                return false;
            }
            const bool ok = restoreTree(parent, step.tree);
            if (parent != HKEY_LOCAL_MACHINE) {
                ::RegCloseKey(parent);
            }
            return ok;
        }
        case UndoStep::Kind::PutBackValue: {
            HKEY key = nullptr;
            if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, step.path.c_str(), 0, KEY_SET_VALUE | kView,
                                &key) != ERROR_SUCCESS) {
                return false;
            }
            LONG rc = ERROR_SUCCESS;
            if (step.existed) {
                rc = ::RegSetValueExW(key, step.value.name.c_str(), 0, step.value.type,
                                      step.value.data.data(),
                                      static_cast<DWORD>(step.value.data.size()));
            } else {
                rc = ::RegDeleteValueW(key, step.value.name.c_str());
                rc = rc == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : rc;
            }
            ::RegCloseKey(key);
            return rc == ERROR_SUCCESS;
        }
    }
    return false;
}

class Win32Registry : public Registry {
  public:
    // The registry of Windows changes key by key. A batch keeps what each change replaced and,
    // when the batch fails, puts it back, last change first: a store that fails half-way leaves
    // the previous configuration as it was.
    void batch(const std::function<void()>& body) override {
        if (batchDepth_ > 0) {
            body();
            return;
        }
        batchDepth_ = 1;
        journal_.clear();
        try {
            body();
        } catch (...) {
            batchDepth_ = 0;
            for (auto step = journal_.rbegin(); step != journal_.rend(); ++step) {
                undo(*step);  // each step on its own: one that fails does not stop the others
            }
            journal_.clear();
            throw;
        }
        batchDepth_ = 0;
        journal_.clear();
    }

    ~Win32Registry() override { closeKey(); }

    void setRootKey() override { closeKey(); }

    bool openKey(const std::string& path) override {
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
        closeKey();
        current_ = key;
        currentPath_ = sub;
        return true;
    }

    std::vector<std::string> valueNames() override {
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

    std::vector<std::string> keyNames() override {
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

    std::string readString(const std::string& name) override {
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
            throw RegistryError("Failed to get data for '" + name + "'");
        }
        if (type != REG_SZ && type != REG_EXPAND_SZ) {
            throw RegistryError("Invalid data type for '" + name + "'");
        }
        std::vector<wchar_t> buf(size / sizeof(wchar_t) + 1, L'\0');
        DWORD got = static_cast<DWORD>(buf.size() * sizeof(wchar_t));
        rc = ::RegQueryValueExW(current_, wname.c_str(), nullptr, &type,
                                reinterpret_cast<BYTE*>(buf.data()), &got);
        if (rc != ERROR_SUCCESS) {
            throw RegistryError("Failed to get data for '" + name + "'");
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

    std::int32_t readInteger(const std::string& name) override {
        if (current_ == nullptr) {
            throw RegistryError("Failed to get data for '" + name + "'");
        }
        const std::wstring wname = widen(name);
        DWORD type = 0;
        DWORD data = 0;
        DWORD size = sizeof data;
        const LONG rc = ::RegQueryValueExW(current_, wname.c_str(), nullptr, &type,
                                           reinterpret_cast<BYTE*>(&data), &size);
        if (rc == ERROR_FILE_NOT_FOUND) {
            throw RegistryError("Failed to get data for '" + name + "'");
        }
        if ((rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) &&
            (type != REG_DWORD || size != sizeof data)) {
            throw RegistryError("Invalid data type for '" + name + "'");
        }
        if (rc != ERROR_SUCCESS) {
            throw RegistryError("Failed to get data for '" + name + "'");
        }
        return static_cast<std::int32_t>(data);
    }

    void createKey(const std::string& path) override {
        const std::wstring sub = subPath(path);
        if (batchDepth_ > 0 && !sub.empty()) {
            // The first key of the path that is missing now is the one to remove on failure.
            std::size_t end = 0;
            while (end != std::wstring::npos) {
                end = sub.find(L'\\', end + 1);
                const std::wstring prefix = sub.substr(0, end);
                if (!keyExists(prefix)) {
                    UndoStep step{UndoStep::Kind::RemoveCreated, prefix, {}, false, {}};
                    journal_.push_back(std::move(step));
                    break;
                }
            }
        }
        HKEY key = nullptr;
        if (sub.empty() ||
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_WRITE | kView, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            throw RegistryError("Failed to create key " + path);
        }
        ::RegCloseKey(key);
    }

    void writeString(const std::string& name, const std::string& text) override {
        keepValue(name);
        std::wstring data = widen(text.substr(0, text.find('\0')));
        const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
        if (current_ == nullptr ||
            ::RegSetValueExW(current_, widen(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.c_str()), bytes) != ERROR_SUCCESS) {
            throw RegistryError("Failed to set data for '" + name + "'");
        }
    }

    void writeInteger(const std::string& name, std::int32_t value) override {
        keepValue(name);
        const DWORD data = static_cast<DWORD>(value);
        if (current_ == nullptr ||
            ::RegSetValueExW(current_, widen(name).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&data), sizeof data) != ERROR_SUCCESS) {
            throw RegistryError("Failed to set data for '" + name + "'");
        }
    }

    bool deleteKey(const std::string& path) override {
        const std::wstring sub = subPath(path);
        if (sub.empty()) {
            return false;
        }
        if (batchDepth_ > 0) {
            const std::wstring parentPath = splitLast(sub).first;
            HKEY parent = HKEY_LOCAL_MACHINE;
            if (parentPath.empty() || ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, parentPath.c_str(), 0,
                                                      KEY_READ | kView, &parent) == ERROR_SUCCESS) {
                UndoStep step{UndoStep::Kind::PutBackTree, sub, {}, false, {}};
                const bool saved = saveTree(parent, splitLast(sub).second, step.tree);
                if (parent != HKEY_LOCAL_MACHINE) {
                    ::RegCloseKey(parent);
                }
                if (saved) {
                    journal_.push_back(std::move(step));
                } else if (keyExists(sub)) {
                    return false;  // what cannot be put back is not deleted inside a batch
                }
            }
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

    void closeKey() override {
        if (current_ != nullptr) {
            ::RegCloseKey(current_);
            current_ = nullptr;
        }
        currentPath_.clear();
    }

    bool deleteValue(const std::string& name) override {
        keepValue(name);
        return current_ != nullptr &&
               ::RegDeleteValueW(current_, widen(name).c_str()) == ERROR_SUCCESS;
    }

  private:
    // Inside a batch: notes a value of the current key as it is before it changes.
    void keepValue(const std::string& name) {
        if (batchDepth_ == 0 || current_ == nullptr) {
            return;
        }
        UndoStep step{UndoStep::Kind::PutBackValue, currentPath_, {}, false, {}};
        step.value.name = widen(name);
        DWORD size = 0;
        LONG rc = ::RegQueryValueExW(current_, step.value.name.c_str(), nullptr, &step.value.type,
                                     nullptr, &size);
        if (rc == ERROR_SUCCESS) {
            step.value.data.resize(size);
            rc = ::RegQueryValueExW(current_, step.value.name.c_str(), nullptr, &step.value.type,
                                    step.value.data.data(), &size);
            step.value.data.resize(size);
            step.existed = rc == ERROR_SUCCESS;
        }
        journal_.push_back(std::move(step));
    }

    HKEY current_ = nullptr;
    std::wstring currentPath_;  // below the root
    int batchDepth_ = 0;
    std::vector<UndoStep> journal_;
};

}  // namespace

std::unique_ptr<Registry> openSystemRegistry() {
    return std::make_unique<Win32Registry>();
}

}  // namespace lan2com
