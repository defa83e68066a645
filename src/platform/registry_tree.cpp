#include "platform/registry_tree.h"

#include <algorithm>
#include <utility>

#include "platform/cp1251.h"

namespace lan2com {
namespace {

// ---- names ---------------------------------------------------------------------------------

char32_t foldChar(char32_t c) {
    if (c >= U'A' && c <= U'Z') {
        return c + 32;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {  // Latin-1 capitals
        return c + 32;
    }
    if (c >= 0x410 && c <= 0x42F) {  // А … Я
        return c + 0x20;
    }
    if (c >= 0x400 && c <= 0x40F) {  // Ѐ … Џ (Ё, Ђ, Є, І, Ї, Ј, Љ, Њ, Ћ, Ќ, Ў, Џ)
        return c + 0x50;
    }
    if (c == 0x490) {  // Ґ
        return 0x491;
    }
    return c;
}

bool isAscii(std::string_view s) {
    for (const char ch : s) {
        if (static_cast<unsigned char>(ch) >= 0x80) {
            return false;
        }
    }
    return true;
}

char foldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// A name as it compares: two names are the same name when their folded forms are equal.

bool hasControl(std::string_view s) {
    for (const char ch : s) {
        if (static_cast<unsigned char>(ch) < 0x20) {
            return true;
        }
    }
    return false;
}

template <typename Key>
auto findSubkey(Key& key, std::string_view name) -> decltype(&key.subkeys[0]) {
    for (auto& k : key.subkeys) {
        if (sameRegName(k.name, name)) {
            return &k;
        }
    }
    return nullptr;
}

template <typename Key>
auto findValue(Key& key, std::string_view name) -> decltype(&key.values[0]) {
    for (auto& v : key.values) {
        if (sameRegName(v.name, name)) {
            return &v;
        }
    }
    return nullptr;
}

bool sameKey(const RegKey& a, const RegKey& b);

bool sameValue(const RegValue& a, const RegValue& b) {
    if (a.name != b.name || a.kind != b.kind) {
        return false;
    }
    switch (a.kind) {
        case RegValue::Kind::String:
            return a.text == b.text;
        case RegValue::Kind::Dword:
            return a.dword == b.dword;
        case RegValue::Kind::Raw:
            return a.rawType == b.rawType && a.bytes == b.bytes;
    }
    return false;
}

bool sameKey(const RegKey& a, const RegKey& b) {
    if (a.name != b.name || a.values.size() != b.values.size() ||
        a.subkeys.size() != b.subkeys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (!sameValue(a.values[i], b.values[i])) {
            return false;
        }
    }
    for (std::size_t i = 0; i < a.subkeys.size(); ++i) {
        if (!sameKey(a.subkeys[i], b.subkeys[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string foldRegName(std::string_view name) {
    if (isAscii(name)) {
        std::string out(name);
        for (char& c : out) {
            c = foldAscii(c);
        }
        return out;
    }
    std::u32string chars = decodeUtf8(name);
    for (char32_t& c : chars) {
        c = foldChar(c);
    }
    return encodeUtf8(chars);
}

// ---- UTF-16LE ------------------------------------------------------------------------------

std::string utf16leToUtf8(const std::uint8_t* data, std::size_t size, bool stopAtNul) {
    std::u32string out;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        char32_t u = static_cast<char32_t>(data[i] | (data[i + 1] << 8));
        if (u == 0 && stopAtNul) {
            break;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 3 < size) {
            const char32_t lo = static_cast<char32_t>(data[i + 2] | (data[i + 3] << 8));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
                i += 2;
            } else {
                u = 0xFFFD;
            }
        } else if (u >= 0xD800 && u <= 0xDFFF) {
            u = 0xFFFD;
        }
        out += u;
    }
    return encodeUtf8(out);
}

std::vector<std::uint8_t> utf8ToUtf16le(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (char32_t c : decodeUtf8(text)) {
        auto put = [&out](char32_t unit) {
            out.push_back(static_cast<std::uint8_t>(unit & 0xFF));
            out.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
        };
        if (c >= 0x10000) {
            c -= 0x10000;
            put(0xD800 + (c >> 10));
            put(0xDC00 + (c & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

// ---- values and keys -------------------------------------------------------------------------

std::optional<std::string> RegValue::asText() const {
    if (kind == Kind::String) {
        return text;
    }
    if (kind == Kind::Raw && (rawType == 1 || rawType == 2)) {  // REG_SZ, REG_EXPAND_SZ
        return utf16leToUtf8(bytes.data(), bytes.size(), true);
    }
    return std::nullopt;
}

std::optional<std::uint32_t> RegValue::asDword() const {
    if (kind == Kind::Dword) {
        return dword;
    }
    if (kind == Kind::Raw && rawType == 4 && bytes.size() == 4) {  // REG_DWORD, little-endian
        return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
               (static_cast<std::uint32_t>(bytes[2]) << 16) |
               (static_cast<std::uint32_t>(bytes[3]) << 24);
    }
    return std::nullopt;
}

bool sameRegName(std::string_view a, std::string_view b) {
    if (a == b) {
        return true;
    }
    if (isAscii(a) && isAscii(b)) {
        if (a.size() != b.size()) {
            return false;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            if (foldAscii(a[i]) != foldAscii(b[i])) {
                return false;
            }
        }
        return true;
    }
    const std::u32string x = decodeUtf8(a);
    const std::u32string y = decodeUtf8(b);
    if (x.size() != y.size()) {
        return false;
    }
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (foldChar(x[i]) != foldChar(y[i])) {
            return false;
        }
    }
    return true;
}

RegKey* RegKey::subkey(std::string_view n) {
    return findSubkey(*this, n);
}
const RegKey* RegKey::subkey(std::string_view n) const {
    return findSubkey(*this, n);
}
RegValue* RegKey::value(std::string_view n) {
    return findValue(*this, n);
}
const RegValue* RegKey::value(std::string_view n) const {
    return findValue(*this, n);
}

bool RegKey::setValue(RegValue v) {
    if (RegValue* old = value(v.name)) {
        v.name = old->name;  // the registry keeps the name as it was first written
        if (sameValue(*old, v)) {
            return false;
        }
        *old = std::move(v);
        return true;
    }
    values.push_back(std::move(v));
    return true;
}

bool RegKey::removeValue(std::string_view n) {
    for (auto it = values.begin(); it != values.end(); ++it) {
        if (sameRegName(it->name, n)) {
            values.erase(it);
            return true;
        }
    }
    return false;
}

std::optional<std::vector<std::string>> splitRegPath(std::string_view path) {
    if (!path.empty() && path.front() == '\\') {
        path.remove_prefix(1);
    }
    if (!path.empty() && path.back() == '\\') {
        path.remove_suffix(1);
    }
    std::vector<std::string> names;
    if (path.empty()) {
        return names;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (name.empty() || hasControl(name)) {
            return std::nullopt;
        }
        if (names.size() == kMaxRegDepth) {
            return std::nullopt;
        }
        names.emplace_back(name);
        if (end == std::string_view::npos) {
            return names;
        }
        start = end + 1;
    }
}

RegKey* RegistryTree::find(const std::vector<std::string>& path) {
    RegKey* key = &root;
    for (const auto& name : path) {
        key = key->subkey(name);
        if (key == nullptr) {
            return nullptr;
        }
    }
    return key;
}

const RegKey* RegistryTree::find(const std::vector<std::string>& path) const {
    return const_cast<RegistryTree*>(this)->find(path);
}

bool RegistryTree::create(const std::vector<std::string>& path) {
    RegKey* key = &root;
    bool created = false;
    for (const auto& name : path) {
        RegKey* sub = key->subkey(name);
        if (sub == nullptr) {
            key->subkeys.push_back(RegKey{name, {}, {}});
            sub = &key->subkeys.back();
            created = true;
        }
        key = sub;
    }
    return created;
}

bool RegistryTree::erase(const std::vector<std::string>& path) {
    if (path.empty()) {
        return false;
    }
    RegKey* parent = find(std::vector<std::string>(path.begin(), path.end() - 1));
    if (parent == nullptr) {
        return false;
    }
    for (auto it = parent->subkeys.begin(); it != parent->subkeys.end(); ++it) {
        if (sameRegName(it->name, path.back())) {
            parent->subkeys.erase(it);
            return true;
        }
    }
    return false;
}

bool RegistryTree::operator==(const RegistryTree& other) const {
    return sameKey(root, other.root);
}

}  // namespace lan2com
