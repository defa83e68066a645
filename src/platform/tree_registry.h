#pragma once

// The registry operations over a registry tree, and the registry that keeps its tree in memory.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/registry_tree.h"

namespace lan2com {

// The registry operations over a tree kept somewhere: the subclasses say where it lives, how it is
// read and how a change is made lasting.
class TreeRegistry : public Registry {
  public:
    void setRootKey() override;
    bool openKey(const std::string& path) override;
    std::vector<std::string> valueNames() override;
    std::vector<std::string> keyNames() override;
    std::string readString(const std::string& name) override;
    std::int32_t readInteger(const std::string& name) override;
    void createKey(const std::string& path) override;
    void writeString(const std::string& name, const std::string& text) override;
    void writeInteger(const std::string& name, std::int32_t value) override;
    bool deleteKey(const std::string& path) override;
    void closeKey() override;
    bool deleteValue(const std::string& name) override;

  protected:
    enum class Outcome { Refused, Unchanged, Changed };

    // Runs `look` on the current content of the store.
    virtual void read(const std::function<void(const RegistryTree&)>& look) = 0;
    // Runs `edit` on the content of the store and makes a change lasting. Answers false when the
    // store cannot be changed or `edit` refused. `failure` is the message of the operation;
    // `raises` tells whether the operation reports failures by raising it (deleteKey and
    // deleteValue only answer), which decides the message of a failed batch.
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

    void batch(const std::function<void()>& body) override;

    const RegistryTree& tree() const { return tree_; }
    RegistryTree& tree() { return tree_; }
    // While read-only, every change fails with its operation's message (deleteKey answers false).
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
