#include "platform/reg_text.h"

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "platform/cp1251.h"

namespace lan2com {
namespace {

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

}  // namespace lan2com
