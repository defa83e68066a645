#pragma once

// The registry as a tree in memory, its text form (the .reg files of regedit, version 5.00), and
// the registry operations over such a tree. The file-backed registry of Linux and the in-memory
// registry of the tests share all of it.

#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

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

// A .reg text that cannot be read: the line (from 1) and what is wrong there, in Russian.
class RegParseError : public std::runtime_error {
  public:
    RegParseError(int line, std::string reason);
    int line() const { return line_; }
    const std::string& reason() const { return reason_; }

  private:
    int line_;
    std::string reason_;
};

constexpr std::string_view kRegFileHeader = "Windows Registry Editor Version 5.00";

// Reads a .reg text: UTF-8 (with or without a byte-order mark) or UTF-16LE with its mark; lines
// end in LF or CRLF. Accepts sections [HKEY_LOCAL_MACHINE\…] and [-HKEY_LOCAL_MACHINE\…], values
// "name"="text", "name"=dword:…, "name"=hex:… / hex(n):… (with continuation lines), "name"=-, the
// default value @, comments (;) and blank lines. An empty text is an empty registry.
RegistryTree parseRegText(std::string_view text);

// Writes the tree as regedit writes its version 5.00 files, in UTF-8 with LF line ends: the
// header, a blank line, then every key below the root as its own section in creation order,
// parents before their subkeys, each followed by a blank line.
std::string formatRegText(const RegistryTree& tree);

// The registry operations over a tree kept somewhere: the subclasses say where it lives, how it is
// read and how a change is made lasting.
class TreeRegistry : public Registry {
  public:
    void SetRootKey() override;
    bool OpenKey(const std::string& path) override;
    std::vector<std::string> GetValueNames() override;
    std::vector<std::string> GetKeyNames() override;
    std::string ReadString(const std::string& name) override;
    std::int32_t ReadInteger(const std::string& name) override;
    void CreateKey(const std::string& path) override;
    void WriteString(const std::string& name, const std::string& text) override;
    void WriteInteger(const std::string& name, std::int32_t value) override;
    bool DeleteKey(const std::string& path) override;
    void CloseKey() override;
    bool DeleteValue(const std::string& name) override;

  protected:
    enum class Outcome { Refused, Unchanged, Changed };

    // Runs `look` on the current content of the store.
    virtual void read(const std::function<void(const RegistryTree&)>& look) = 0;
    // Runs `edit` on the content of the store and makes a change lasting. Answers false when the
    // store cannot be changed or `edit` refused. `failure` is the message of the operation;
    // `raises` tells whether the operation reports failures by raising it (DeleteKey and
    // DeleteValue only answer), which decides the message of a failed batch.
    virtual bool change(const std::function<Outcome(RegistryTree&)>& edit,
                        const std::string& failure, bool raises) = 0;

  private:
    std::optional<std::vector<std::string>> current_;  // the current key's path, if one is open
    void writeValue(RegValue v);
};

// A registry that lives in memory only: for tests and tools. Batches are all or nothing.
class MemoryRegistry : public TreeRegistry {
  public:
    MemoryRegistry() = default;
    explicit MemoryRegistry(RegistryTree tree) : tree_(std::move(tree)) {}

    void Batch(const std::function<void()>& body) override;

    const RegistryTree& tree() const { return tree_; }
    RegistryTree& tree() { return tree_; }
    // While read-only, every change fails with its operation's message (DeleteKey answers false).
    void setReadOnly(bool readOnly) { readOnly_ = readOnly; }
    // Counts the changes made (a batch counts once).
    int commits() const { return commits_; }

  protected:
    void read(const std::function<void(const RegistryTree&)>& look) override;
    bool change(const std::function<Outcome(RegistryTree&)>& edit, const std::string& failure,
                bool raises) override;

  private:
    RegistryTree tree_;
    bool readOnly_ = false;
    int batchDepth_ = 0;
    bool batchChanged_ = false;
    int commits_ = 0;
};

}  // namespace lan2com
