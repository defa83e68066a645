#pragma once

#include <string>

namespace lan2com {

// Keeps a second copy of the program from running beside the first. A second copy would find
// every receive port taken, and each binding failure offers to delete that channel from the
// stored configuration, which both copies share.
//
// Linux: an exclusive lock on lan2com.lock in the program's data folder (one copy per data
// folder). Windows: a named mutex for the whole machine, whichever account started the copy.
class SingleInstance {
  public:
    SingleInstance();
    // A lock of another name (tests): Linux <data folder>/<name>.lock, Windows Global\<name>.
    explicit SingleInstance(const std::string& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another copy holds the lock. When the lock cannot be taken for another reason
    // (a folder that cannot be written) the program is not held back.
    bool acquired() const { return acquired_; }

  private:
    bool acquired_ = true;
#ifdef _WIN32
    void* mutex_ = nullptr;
#else
    int fd_ = -1;
#endif
};

// The name of the program's own lock.
inline constexpr const char* kInstanceName = "lan2com.instance";

// Whether creating the named mutex says that another copy runs, from what CreateMutexW answered:
// whether it gave a handle, and the error code it left. A handle with "already exists" is another
// copy of this account; no handle with "access denied" is a mutex that another account made (a
// copy started by a scheduled task or by another user), which this account may not open. Any
// other failure holds nobody back.
bool mutexSaysAnotherCopy(bool gotHandle, unsigned long lastError);

// The message of a second copy (error icon, the program's title).
inline constexpr const char* kAlreadyRunningText =
    "Программа уже запущена. Вторая копия не запускается: она не смогла бы принимать события на "
    "портах приема, занятых первой.";

}  // namespace lan2com
