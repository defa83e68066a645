#include "platform/registry_tree.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
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

// ---- the text form ---------------------------------------------------------------------------

constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view trimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        char b = prefix[i];
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<char>(a + 32);
        }
        if (b >= 'A' && b <= 'Z') {
            b = static_cast<char>(b + 32);
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Reads a quoted text that begins at s[pos] == '"'; leaves pos after the closing quote.
bool readQuoted(std::string_view s, std::size_t& pos, std::string& out, std::string& error) {
    ++pos;  // opening quote
    while (pos < s.size()) {
        // Plain characters in one piece, up to the next quote, backslash or NUL.
        std::size_t stop = pos;
        while (stop < s.size() && s[stop] != '"' && s[stop] != '\\' && s[stop] != '\0') {
            ++stop;
        }
        out.append(s.data() + pos, stop - pos);
        pos = stop;
        if (pos == s.size()) {
            break;
        }
        const char c = s[pos++];
        if (c == '"') {
            if (!isValidUtf8(out)) {
                error = "текст не в кодировке UTF-8";
                return false;
            }
            return true;
        }
        if (c == '\\') {
            if (pos < s.size() && (s[pos] == '\\' || s[pos] == '"')) {
                out += s[pos++];
                continue;
            }
            error = "обратная косая черта без \\ или \" после неё (пишется \\\\)";
            return false;
        }
        if (c == '\0') {
            error = "нулевой байт в тексте";
            return false;
        }
        out += c;
    }
    error = "нет закрывающей кавычки";
    return false;
}

std::string quote(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

void formatBytes(std::string& out, std::size_t lineStart, const std::vector<std::uint8_t>& bytes) {
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        out += buf;
        if (i + 1 < bytes.size()) {
            out += ',';
            if (out.size() - lineStart > 76) {  // regedit keeps lines under 80 columns
                out += "\\\n  ";
                lineStart = out.size() - 2;
            }
        }
    }
}

void formatValue(std::string& out, const RegValue& v) {
    const std::size_t lineStart = out.size();
    out += v.name.empty() ? std::string("@") : quote(v.name);
    out += '=';
    switch (v.kind) {
        case RegValue::Kind::String:
            if (v.text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos) {
                out += quote(v.text);
            } else {
                // A text that a quoted line cannot carry: the registry's own binary form of a
                // REG_SZ, UTF-16LE with its terminating NUL.
                std::vector<std::uint8_t> bytes = utf8ToUtf16le(v.text);
                bytes.push_back(0);
                bytes.push_back(0);
                out += "hex(1):";
                formatBytes(out, lineStart, bytes);
            }
            break;
        case RegValue::Kind::Dword: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(v.dword));
            out += buf;
            break;
        }
        case RegValue::Kind::Raw: {
            char buf[24];
            if (v.rawType == 3) {
                std::snprintf(buf, sizeof buf, "hex:");
            } else {
                std::snprintf(buf, sizeof buf, "hex(%x):", v.rawType);
            }
            out += buf;
            formatBytes(out, lineStart, v.bytes);
            break;
        }
    }
    out += '\n';
}

void formatKey(std::string& out, const RegKey& key, const std::string& path) {
    out += '[';
    out += path;
    out += "]\n";
    for (const RegValue& v : key.values) {
        formatValue(out, v);
    }
    out += '\n';
    for (const RegKey& sub : key.subkeys) {
        formatKey(out, sub, path + "\\" + sub.name);
    }
}

class Parser {
  public:
    explicit Parser(std::string text) : text_(std::move(text)) { splitLines(); }

    RegistryTree run() {
        bool blank = true;
        for (const auto& line : lines_) {
            if (!trimLeft(trimRight(line)).empty()) {
                blank = false;
                break;
            }
        }
        if (blank) {
            return tree_;  // an empty file: an empty registry
        }
        if (trimRight(lines_[0]) != kRegFileHeader) {
            throw RegParseError(1, "первая строка не «" + std::string(kRegFileHeader) + "»");
        }
        for (lineNo_ = 2; lineNo_ <= static_cast<int>(lines_.size()); ++lineNo_) {
            parseLine(trimLeft(trimRight(lines_[static_cast<std::size_t>(lineNo_ - 1)])));
        }
        build(0, tree_.root);
        return tree_;
    }

  private:
    void splitLines() {
        lines_.reserve(static_cast<std::size_t>(std::count(text_.begin(), text_.end(), '\n')) + 1);
        std::size_t start = 0;
        while (start <= text_.size()) {
            const std::size_t end = text_.find('\n', start);
            if (end == std::string::npos) {
                lines_.emplace_back(std::string_view(text_).substr(start));
                break;
            }
            lines_.emplace_back(std::string_view(text_).substr(start, end - start));
            start = end + 1;
        }
    }

    [[noreturn]] void fail(std::string reason) const { throw RegParseError(lineNo_, reason); }

    void parseLine(std::string_view line) {
        if (line.empty() || line.front() == ';') {
            return;
        }
        if (line.front() == '[') {
            parseSection(line);
        } else if (line.front() == '"' || line.front() == '@') {
            parseValue(line);
        } else {
            fail("строка не является ни разделом [...], ни значением \"имя\"=...");
        }
    }

    void parseSection(std::string_view line) {
        if (line.back() != ']') {
            fail("раздел без закрывающей скобки ]");
        }
        std::string_view inner = line.substr(1, line.size() - 2);
        const bool remove = !inner.empty() && inner.front() == '-';
        if (remove) {
            inner.remove_prefix(1);
        }
        if (!startsWithNoCase(inner, kRootName) ||
            (inner.size() > kRootName.size() && inner[kRootName.size()] != '\\')) {
            fail("раздел не в HKEY_LOCAL_MACHINE");
        }
        inner.remove_prefix(kRootName.size());
        if (!inner.empty() && inner.back() == '\\') {
            fail("пустое имя раздела");
        }
        if (static_cast<std::size_t>(std::count(inner.begin(), inner.end(), '\\')) > kMaxRegDepth) {
            fail("раздел вложен глубже " + std::to_string(kMaxRegDepth) + " уровней");
        }
        const auto path = splitRegPath(inner);
        if (!path) {
            fail("пустое имя раздела или управляющий символ в нём");
        }
        if (remove) {
            eraseNode(*path);
            section_.reset();
            deleted_ = true;
        } else {
            section_ = createNode(*path);
            deleted_ = false;
        }
    }

    // The keys as they are read, each with an index of its subkeys and values by folded name, so
    // that a file is read in time linear in its size however many values a key holds. A removed
    // key or value stays in its vector, out of the index, and is left out when the tree is built.
    struct Node {
        std::string name;
        bool removed = false;
        std::vector<std::size_t> children;  // node numbers, in creation order
        std::unordered_map<std::string, std::size_t> childIndex;
        std::vector<RegValue> values;
        std::vector<bool> valueGone;
        std::unordered_map<std::string, std::size_t> valueIndex;
    };

    std::size_t createNode(const std::vector<std::string>& path) {
        std::size_t at = 0;
        for (const std::string& name : path) {
            std::string folded = foldRegName(name);
            const auto found = nodes_[at].childIndex.find(folded);
            if (found != nodes_[at].childIndex.end()) {
                at = found->second;
                continue;
            }
            const std::size_t child = nodes_.size();
            nodes_.push_back(Node{});
            nodes_[child].name = name;
            nodes_[at].children.push_back(child);
            nodes_[at].childIndex.emplace(std::move(folded), child);
            at = child;
        }
        return at;
    }

    void eraseNode(const std::vector<std::string>& path) {
        if (path.empty()) {
            return;  // the root stays
        }
        std::size_t at = 0;
        for (std::size_t i = 0; i + 1 < path.size(); ++i) {
            const auto found = nodes_[at].childIndex.find(foldRegName(path[i]));
            if (found == nodes_[at].childIndex.end()) {
                return;
            }
            at = found->second;
        }
        const auto found = nodes_[at].childIndex.find(foldRegName(path.back()));
        if (found != nodes_[at].childIndex.end()) {
            nodes_[found->second].removed = true;
            nodes_[at].childIndex.erase(found);
        }
    }

    void setNodeValue(Node& node, RegValue v) {
        std::string folded = foldRegName(v.name);
        const auto found = node.valueIndex.find(folded);
        if (found != node.valueIndex.end()) {
            RegValue& old = node.values[found->second];
            v.name = old.name;  // the registry keeps the name as it was first written
            old = std::move(v);
            return;
        }
        node.valueIndex.emplace(std::move(folded), node.values.size());
        node.values.push_back(std::move(v));
        node.valueGone.push_back(false);
    }

    void removeNodeValue(Node& node, const std::string& name) {
        const auto found = node.valueIndex.find(foldRegName(name));
        if (found != node.valueIndex.end()) {
            node.valueGone[found->second] = true;
            node.valueIndex.erase(found);
        }
    }

    // Nesting is bounded by kMaxRegDepth, and so is this recursion.
    void build(std::size_t at, RegKey& key) {
        Node& node = nodes_[at];
        for (std::size_t i = 0; i < node.values.size(); ++i) {
            if (!node.valueGone[i]) {
                key.values.push_back(std::move(node.values[i]));
            }
        }
        for (const std::size_t child : node.children) {
            if (nodes_[child].removed) {
                continue;
            }
            key.subkeys.push_back(RegKey{nodes_[child].name, {}, {}});
            build(child, key.subkeys.back());
        }
    }

    void parseValue(std::string_view line) {
        if (!section_) {
            fail(deleted_ ? "значение после раздела удаления [-...]" : "значение вне раздела");
        }
        RegValue v;
        std::size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else {
            std::string error;
            if (!readQuoted(line, pos, v.name, error)) {
                fail("имя значения: " + error);
            }
        }
        std::string_view rest = trimLeft(line.substr(pos));
        if (rest.empty() || rest.front() != '=') {
            fail("после имени значения нет знака =");
        }
        rest = trimLeft(rest.substr(1));
        Node& key = nodes_[*section_];
        if (rest == "-") {
            removeNodeValue(key, v.name);
            return;
        }
        if (!rest.empty() && rest.front() == '"') {
            std::size_t p = 0;
            std::string error;
            if (!readQuoted(rest, p, v.text, error)) {
                fail("текст значения: " + error);
            }
            if (!trimLeft(rest.substr(p)).empty()) {
                fail("лишние символы после текста значения");
            }
            v.kind = RegValue::Kind::String;
        } else if (startsWithNoCase(rest, "dword:")) {
            const std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) {
                fail("значение dword: нужно от 1 до 8 шестнадцатеричных цифр");
            }
            std::uint32_t n = 0;
            for (const char c : digits) {
                const int d = hexDigit(c);
                if (d < 0) {
                    fail("значение dword: нужно от 1 до 8 шестнадцатеричных цифр");
                }
                n = (n << 4) | static_cast<std::uint32_t>(d);
            }
            v.kind = RegValue::Kind::Dword;
            v.dword = n;
        } else if (startsWithNoCase(rest, "hex")) {
            parseHex(rest, v);
        } else {
            fail("неизвестный вид значения (ожидается \"текст\", dword:, hex: или -)");
        }
        setNodeValue(key, std::move(v));
    }

    void parseHex(std::string_view rest, RegValue& v) {
        rest.remove_prefix(3);
        v.kind = RegValue::Kind::Raw;
        v.rawType = 3;
        if (!rest.empty() && rest.front() == '(') {
            const std::size_t close = rest.find(')');
            if (close == std::string_view::npos || close == 1 || close > 9) {
                fail("неверный тип hex(...)");
            }
            unsigned type = 0;
            for (const char c : rest.substr(1, close - 1)) {
                const int d = hexDigit(c);
                if (d < 0) {
                    fail("неверный тип hex(...)");
                }
                type = (type << 4) | static_cast<unsigned>(d);
            }
            v.rawType = type;
            rest.remove_prefix(close + 1);
        }
        if (rest.empty() || rest.front() != ':') {
            fail("после hex нет двоеточия");
        }
        rest.remove_prefix(1);
        // Continuation lines: a line that ends in a backslash goes on in the next line.
        std::string data(rest);
        const int firstLine = lineNo_;
        while (!data.empty() && data.back() == '\\') {
            data.pop_back();
            if (lineNo_ >= static_cast<int>(lines_.size())) {
                lineNo_ = firstLine;
                fail("шестнадцатеричные данные обрываются в конце файла");
            }
            ++lineNo_;
            data += trimLeft(trimRight(lines_[static_cast<std::size_t>(lineNo_ - 1)]));
        }
        const int lastLine = lineNo_;
        lineNo_ = firstLine;
        std::string_view d = trimRight(data);
        while (!d.empty()) {
            const std::size_t comma = d.find(',');
            const std::string_view token = trimLeft(trimRight(d.substr(0, comma)));
            if (token.empty() || token.size() > 2 || hexDigit(token[0]) < 0 ||
                (token.size() == 2 && hexDigit(token[1]) < 0)) {
                fail("неверные шестнадцатеричные данные");
            }
            int byte = hexDigit(token[0]);
            if (token.size() == 2) {
                byte = byte * 16 + hexDigit(token[1]);
            }
            v.bytes.push_back(static_cast<std::uint8_t>(byte));
            if (comma == std::string_view::npos) {
                break;
            }
            d.remove_prefix(comma + 1);
            if (trimLeft(d).empty()) {
                fail("неверные шестнадцатеричные данные");
            }
        }
        lineNo_ = lastLine;
        if (v.rawType == 1) {
            // A REG_SZ in its binary form (how a text with line breaks is written) reads back as
            // the text it holds when that is all it holds.
            const std::string text = utf16leToUtf8(v.bytes.data(), v.bytes.size(), true);
            std::vector<std::uint8_t> again = utf8ToUtf16le(text);
            again.push_back(0);
            again.push_back(0);
            if (again == v.bytes) {
                v.kind = RegValue::Kind::String;
                v.text = text;
                v.bytes.clear();
                v.rawType = 0;
            }
        }
    }

    std::string text_;
    std::vector<std::string_view> lines_;
    RegistryTree tree_;
    std::vector<Node> nodes_ = std::vector<Node>(1);  // node 0: HKEY_LOCAL_MACHINE
    std::optional<std::size_t> section_;              // the node of the current section
    bool deleted_ = false;
    int lineNo_ = 1;
};

}  // namespace

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

RegParseError::RegParseError(int line, std::string reason)
    : std::runtime_error("line " + std::to_string(line) + ": " + reason),
      line_(line),
      reason_(std::move(reason)) {}

RegistryTree parseRegText(std::string_view raw) {
    std::string text;
    if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFF &&
        static_cast<unsigned char>(raw[1]) == 0xFE) {
        text = utf16leToUtf8(reinterpret_cast<const std::uint8_t*>(raw.data()) + 2, raw.size() - 2,
                             false);
    } else if (raw.size() >= 2 && static_cast<unsigned char>(raw[0]) == 0xFE &&
               static_cast<unsigned char>(raw[1]) == 0xFF) {
        throw RegParseError(1, "кодировка UTF-16BE не поддерживается");
    } else if (raw.size() >= 3 && raw.substr(0, 3) == "\xEF\xBB\xBF") {
        text = std::string(raw.substr(3));
    } else {
        text = std::string(raw);
    }
    return Parser(std::move(text)).run();
}

std::string formatRegText(const RegistryTree& tree) {
    std::string out(kRegFileHeader);
    out += "\n\n";
    if (!tree.root.values.empty()) {
        out += '[';
        out += kRootName;
        out += "]\n";
        for (const RegValue& v : tree.root.values) {
            formatValue(out, v);
        }
        out += '\n';
    }
    for (const RegKey& key : tree.root.subkeys) {
        formatKey(out, key, std::string(kRootName) + "\\" + key.name);
    }
    return out;
}

// ---- the operations --------------------------------------------------------------------------

void TreeRegistry::SetRootKey() {
    current_.reset();
}

bool TreeRegistry::OpenKey(const std::string& path) {
    const auto names = splitRegPath(path);
    if (!names) {
        return false;
    }
    bool found = false;
    read([&](const RegistryTree& t) { found = t.find(*names) != nullptr; });
    if (found) {
        current_ = *names;
    }
    return found;
}

std::vector<std::string> TreeRegistry::GetValueNames() {
    std::vector<std::string> names;
    if (!current_) {
        return names;
    }
    read([&](const RegistryTree& t) {
        if (const RegKey* key = t.find(*current_)) {
            for (const RegValue& v : key->values) {
                names.push_back(v.name);
            }
        }
    });
    return names;
}

std::vector<std::string> TreeRegistry::GetKeyNames() {
    std::vector<std::string> names;
    if (!current_) {
        return names;
    }
    read([&](const RegistryTree& t) {
        if (const RegKey* key = t.find(*current_)) {
            for (const RegKey& k : key->subkeys) {
                names.push_back(k.name);
            }
        }
    });
    return names;
}

std::string TreeRegistry::ReadString(const std::string& name) {
    if (!current_) {
        return {};
    }
    std::optional<RegValue> value;
    read([&](const RegistryTree& t) {
        if (const RegKey* key = t.find(*current_)) {
            if (const RegValue* v = key->value(name)) {
                value = *v;
            }
        }
    });
    if (!value) {
        return {};
    }
    const auto text = value->asText();
    if (!text) {
        throw RegistryError("Invalid data type for '" + name + "'");
    }
    return *text;
}

std::int32_t TreeRegistry::ReadInteger(const std::string& name) {
    std::optional<RegValue> value;
    if (current_) {
        read([&](const RegistryTree& t) {
            if (const RegKey* key = t.find(*current_)) {
                if (const RegValue* v = key->value(name)) {
                    value = *v;
                }
            }
        });
    }
    if (!value) {
        throw RegistryError("Failed to get data for '" + name + "'");
    }
    const auto number = value->asDword();
    if (!number) {
        throw RegistryError("Invalid data type for '" + name + "'");
    }
    return static_cast<std::int32_t>(*number);
}

void TreeRegistry::CreateKey(const std::string& path) {
    const std::string failure = "Failed to create key " + path;
    const auto names = splitRegPath(path);
    if (!names) {
        throw RegistryError(failure);
    }
    const bool ok = change(
        [&](RegistryTree& t) { return t.create(*names) ? Outcome::Changed : Outcome::Unchanged; },
        failure, true);
    if (!ok) {
        throw RegistryError(failure);
    }
}

void TreeRegistry::writeValue(RegValue v) {
    const std::string failure = "Failed to set data for '" + v.name + "'";
    // A name that a .reg line cannot carry is refused, as is a value without an open key.
    if (!current_ || v.name.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        throw RegistryError(failure);
    }
    const auto path = *current_;
    const bool ok = change(
        [&](RegistryTree& t) {
            RegKey* key = t.find(path);
            if (key == nullptr) {
                return Outcome::Refused;  // the key was deleted meanwhile
            }
            return key->setValue(v) ? Outcome::Changed : Outcome::Unchanged;
        },
        failure, true);
    if (!ok) {
        throw RegistryError(failure);
    }
}

void TreeRegistry::WriteString(const std::string& name, const std::string& text) {
    RegValue v;
    v.name = name;
    v.kind = RegValue::Kind::String;
    v.text = text.substr(0, text.find('\0'));  // registry texts end at their first NUL
    writeValue(std::move(v));
}

void TreeRegistry::WriteInteger(const std::string& name, std::int32_t value) {
    RegValue v;
    v.name = name;
    v.kind = RegValue::Kind::Dword;
    v.dword = static_cast<std::uint32_t>(value);
    writeValue(std::move(v));
}

bool TreeRegistry::DeleteKey(const std::string& path) {
    const auto names = splitRegPath(path);
    if (!names || names->empty()) {
        return false;
    }
    return change(
        [&](RegistryTree& t) { return t.erase(*names) ? Outcome::Changed : Outcome::Refused; },
        "Failed to delete key " + path, false);
}

void TreeRegistry::CloseKey() {
    current_.reset();
}

bool TreeRegistry::DeleteValue(const std::string& name) {
    if (!current_) {
        return false;
    }
    const auto path = *current_;
    return change(
        [&](RegistryTree& t) {
            RegKey* key = t.find(path);
            return key != nullptr && key->removeValue(name) ? Outcome::Changed : Outcome::Refused;
        },
        "Failed to delete value '" + name + "'", false);
}

// ---- in memory -------------------------------------------------------------------------------

void MemoryRegistry::read(const std::function<void(const RegistryTree&)>& look) {
    look(tree_);
}

bool MemoryRegistry::change(const std::function<Outcome(RegistryTree&)>& edit,
                            const std::string& /*failure*/, bool /*raises*/) {
    if (readOnly_) {
        return false;
    }
    const Outcome outcome = edit(tree_);
    if (outcome == Outcome::Refused) {
        return false;
    }
    if (outcome == Outcome::Changed) {
        if (batchDepth_ > 0) {
            batchChanged_ = true;
        } else {
            ++commits_;
        }
    }
    return true;
}

void MemoryRegistry::Batch(const std::function<void()>& body) {
    if (batchDepth_ > 0) {
        body();
        return;
    }
    const RegistryTree before = tree_;
    batchDepth_ = 1;
    batchChanged_ = false;
    try {
        body();
    } catch (...) {
        tree_ = before;
        batchDepth_ = 0;
        throw;
    }
    batchDepth_ = 0;
    if (batchChanged_) {
        ++commits_;
    }
}

}  // namespace lan2com
