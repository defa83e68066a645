#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lan2com {

// A failed registry operation; the message names the value or the key.
class RegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The system's whole use of the registry, under HKEY_LOCAL_MACHINE. Paths are absolute, with a
// leading backslash ("\SOFTWARE\Vesko\Device\ComIP"). Texts are UTF-8.
class Registry {
  public:
    virtual ~Registry() = default;

    // Selects HKEY_LOCAL_MACHINE for the following paths (the only root the system uses).
    virtual void setRootKey() = 0;
    // Opens an existing key for reading and writing and makes it the current key. Answers false,
    // leaving the current key unchanged, when it is missing or cannot be opened so. Never creates.
    virtual bool openKey(const std::string& path) = 0;
    // The current key's value names in the registry's enumeration order; empty without a key.
    virtual std::vector<std::string> valueNames() = 0;
    // The current key's subkey names in the registry's enumeration order.
    virtual std::vector<std::string> keyNames() = 0;
    // A missing or empty value gives ""; a value that is not text: "Invalid data type for
    // '<name>'".
    virtual std::string readString(const std::string& name) = 0;
    // Missing: "Failed to get data for '<name>'"; not an integer: "Invalid data type for '<name>'".
    virtual std::int32_t readInteger(const std::string& name) = 0;
    // Creates the key and every missing key above it; an existing key is no error. Does not change
    // the current key. Fails with "Failed to create key <path>".
    virtual void createKey(const std::string& path) = 0;
    // Create or overwrite a value of the current key; fail with "Failed to set data for '<name>'".
    virtual void writeString(const std::string& name, const std::string& text) = 0;
    virtual void writeInteger(const std::string& name, std::int32_t value) = 0;
    // Deletes the key with all its subkeys, deepest first; answers whether it succeeded.
    virtual bool deleteKey(const std::string& path) = 0;
    // Closes the current key.
    virtual void closeKey() = 0;

    // Deletes a value of the current key; answers whether it existed and was deleted. (Used by the
    // tools that keep the device map on Linux; the program itself never deletes single values.)
    virtual bool deleteValue(const std::string& name) {
        (void)name;
        return false;  // a store without single-value deletion
    }

    // Runs `body` as one change of the store. A backend that can (the registry file) takes its
    // lock once, applies every operation of `body` to one snapshot and writes it back once, all or
    // nothing: when `body` throws, or the final write fails, the store stays as it was and the
    // failure reaches the caller. A failed final write raises the message of the batch's first
    // change that raises its failures (createKey, writeString, writeInteger), or, when it has
    // none, "Failed to delete key <path>" of its first deletion: a deletion that did not last is
    // reported, not passed over. Other backends just run `body`. Batches may nest.
    virtual void batch(const std::function<void()>& body) { body(); }

    // What the operator must be told about the store itself (for instance a registry file that
    // could not be read and was moved aside); each notice is handed out once.
    virtual std::vector<std::string> takeNotices() { return {}; }
};

// The system's registry: HKEY_LOCAL_MACHINE (64-bit view) on Windows; elsewhere the registry file
// $XDG_DATA_HOME/lan2com/registry.reg (~/.local/share/lan2com/registry.reg without XDG_DATA_HOME).
std::unique_ptr<Registry> openSystemRegistry();

}  // namespace lan2com
