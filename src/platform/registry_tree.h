#pragma once

// The registry as a tree in memory: keys, values and paths. Its text form is reg_text.h, the
// registry operations over it tree_registry.h.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace lan2com {

// One value of a key. Texts and 32-bit integers are what the system itself writes; any other
// registry type read from a file (hex(n):…) is kept as its raw bytes and written back unchanged.
struct RegValue {
    enum class Kind { String, Dword, Raw };

    std::string name;  // "" is the key's default value (@ in the file)
    Kind kind = Kind::String;
    std::string text;                 // Kind::String, UTF-8
    std::uint32_t dword = 0;          // Kind::Dword
    unsigned rawType = 0;             // Kind::Raw: the registry type number (3 for "hex:")
    std::vector<std::uint8_t> bytes;  // Kind::Raw

    // The text of a String value, or of a raw REG_SZ / REG_EXPAND_SZ (UTF-16LE up to its NUL).
    std::optional<std::string> asText() const;
    // The number of a Dword value, or of a raw REG_DWORD of four bytes.
    std::optional<std::uint32_t> asDword() const;
};

// A key: its name as it was created, its values and its subkeys, both in creation order. Names
// of keys and of values compare case-insensitively, as in the registry.
struct RegKey {
    std::string name;
    std::vector<RegValue> values;
    std::vector<RegKey> subkeys;

    RegKey* subkey(std::string_view name);
    const RegKey* subkey(std::string_view name) const;
    RegValue* value(std::string_view name);
    const RegValue* value(std::string_view name) const;
    // Sets a value (overwriting one of the same name in place, keeping its position and the
    // spelling of its name); answers whether anything changed.
    bool setValue(RegValue v);
    bool removeValue(std::string_view name);
};

// Case-insensitive equality of key and value names (ASCII, Latin-1 and Cyrillic letters).
bool sameRegName(std::string_view a, std::string_view b);

// How deep keys may nest below HKEY_LOCAL_MACHINE, as in the registry of Windows. A deeper key
// in a file makes the file unreadable; a deeper path is no path.
constexpr std::size_t kMaxRegDepth = 512;

// A key path split into its names: "\SOFTWARE\Vesko" -> {"SOFTWARE", "Vesko"}. The leading and a
// trailing backslash are optional; "" and "\" are the root. nullopt for an empty name inside the
// path ("\A\\B"), a name with a control character, or more than kMaxRegDepth names.
std::optional<std::vector<std::string>> splitRegPath(std::string_view path);

// The whole of HKEY_LOCAL_MACHINE.
class RegistryTree {
  public:
    RegKey root;

    RegKey* find(const std::vector<std::string>& path);
    const RegKey* find(const std::vector<std::string>& path) const;
    // Finds or creates the key and every missing key above it; answers whether it created any.
    bool create(const std::vector<std::string>& path);
    // Removes a key with all its subkeys; false when it is missing or is the root.
    bool erase(const std::vector<std::string>& path);

    bool operator==(const RegistryTree& other) const;
};

// A name as the registry compares it: case folded (ASCII, Latin-1 and Cyrillic letters).
std::string foldRegName(std::string_view name);

// UTF-16LE and UTF-8: the text of a raw REG_SZ value, and back. Unpaired surrogates read as
// U+FFFD; stopAtNul ends the text at the first NUL.
std::string utf16leToUtf8(const std::uint8_t* data, std::size_t size, bool stopAtNul);
std::vector<std::uint8_t> utf8ToUtf16le(std::string_view text);

}  // namespace lan2com
