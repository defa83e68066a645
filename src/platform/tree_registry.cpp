#include "platform/tree_registry.h"

#include <utility>

namespace lan2com {

// ---- the operations --------------------------------------------------------------------------

void TreeRegistry::setRootKey() {
    current_.reset();
}

bool TreeRegistry::openKey(const std::string& path) {
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

std::vector<std::string> TreeRegistry::valueNames() {
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

std::vector<std::string> TreeRegistry::keyNames() {
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

std::string TreeRegistry::readString(const std::string& name) {
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

std::int32_t TreeRegistry::readInteger(const std::string& name) {
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

void TreeRegistry::createKey(const std::string& path) {
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

void TreeRegistry::writeString(const std::string& name, const std::string& text) {
    RegValue v;
    v.name = name;
    v.kind = RegValue::Kind::String;
    v.text = text.substr(0, text.find('\0'));  // registry texts end at their first NUL
    writeValue(std::move(v));
}

void TreeRegistry::writeInteger(const std::string& name, std::int32_t value) {
    RegValue v;
    v.name = name;
    v.kind = RegValue::Kind::Dword;
    v.dword = static_cast<std::uint32_t>(value);
    writeValue(std::move(v));
}

bool TreeRegistry::deleteKey(const std::string& path) {
    const auto names = splitRegPath(path);
    if (!names || names->empty()) {
        return false;
    }
    return change(
        [&](RegistryTree& t) { return t.erase(*names) ? Outcome::Changed : Outcome::Refused; },
        "Failed to delete key " + path, false);
}

void TreeRegistry::closeKey() {
    current_.reset();
}

bool TreeRegistry::deleteValue(const std::string& name) {
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

void MemoryRegistry::batch(const std::function<void()>& body) {
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
