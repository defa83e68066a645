#pragma once

// The registry of Linux: one .reg text file (see registry_tree.h for its form).
//
// Every operation reads the file as it is now, since other programs (vcom-pair) change it while
// lan2com runs. A writer holds an exclusive lock (flock on "<file>.lock" beside it, the file itself
// being replaced) while it reads, changes and rewrites the file, and every rewrite is atomic:
// temporary file in the same folder, fsync, rename, fsync of the folder; temporary files that an
// interrupted write left behind are removed by the next write. The lock file is never opened
// through a symbolic link. Readers take no lock; they always see one whole version of the file.
//
// A file that cannot be parsed is never overwritten: it is moved aside to
// "<file>.bad-YYYYMMDD-HHMMSS", the store then reads as empty, and a notice for the operator (the
// file, the line, where it went) comes out of takeNotices().

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "platform/tree_registry.h"

namespace lan2com {

// $XDG_DATA_HOME/lan2com, or ~/.local/share/lan2com when XDG_DATA_HOME is unset, empty or not an
// absolute path.
std::string lan2comDataDir();
// lan2comDataDir() + "/registry.reg".
std::string defaultRegistryPath();

class FileRegistry : public TreeRegistry {
  public:
    explicit FileRegistry(std::string path,
                          std::chrono::milliseconds lockTimeout = std::chrono::seconds(5));
    ~FileRegistry() override;
    FileRegistry(const FileRegistry&) = delete;
    FileRegistry& operator=(const FileRegistry&) = delete;

    void batch(const std::function<void()>& body) override;
    std::vector<std::string> takeNotices() override;

    const std::string& path() const { return path_; }

  protected:
    void read(const std::function<void(const RegistryTree&)>& look) override;
    bool change(const std::function<Outcome(RegistryTree&)>& edit, const std::string& failure,
                bool raises) override;

  private:
    bool lock();
    void unlock();
    // Reads and parses the file into `tree` (empty when there is no file). A file that cannot be
    // parsed is moved aside (taking the lock unless `haveLock`). Answers false when the content
    // could not be established (unreadable, or corrupt and still in place): the store then reads
    // as empty and must not be written.
    bool load(RegistryTree& tree, bool haveLock);
    // Brings cache_ up to date with the file: reads it whole and parses it only when its text
    // changed. Answers false as load() does.
    bool refresh(bool haveLock);
    bool save(const RegistryTree& tree);
    void removeStaleTemporaries();
    void notice(const std::string& text);

    std::string path_;
    std::string dir_;
    std::string lockPath_;
    std::chrono::milliseconds lockTimeout_;
    int lockFd_ = -1;

    int batchDepth_ = 0;
    bool batchLocked_ = false;
    bool batchUsable_ = false;
    bool batchDirty_ = false;
    std::string batchFailure_;     // the message of the first raising change of the batch
    std::string batchAnswerOnly_;  // … or, without one, of its first answering change
    RegistryTree batchTree_;

    // The file as last read and its tree.
    struct Cache {
        bool valid = false;
        bool missing = false;  // there was no file: the tree is empty
        std::string text;
        RegistryTree tree;
    };
    Cache cache_;

    std::vector<std::string> notices_;
    std::set<std::string> told_;
};

}  // namespace lan2com
