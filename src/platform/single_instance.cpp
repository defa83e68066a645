#include "platform/single_instance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/registry_file.h"
#endif

namespace lan2com {

namespace {
// The Win32 error codes, spelled here so that the rule is the same (and tested) on every system.
constexpr unsigned long kErrorAccessDenied = 5;     // ERROR_ACCESS_DENIED
constexpr unsigned long kErrorAlreadyExists = 183;  // ERROR_ALREADY_EXISTS
}  // namespace

bool mutexSaysAnotherCopy(bool gotHandle, unsigned long lastError) {
    return gotHandle ? lastError == kErrorAlreadyExists : lastError == kErrorAccessDenied;
}

SingleInstance::SingleInstance() : SingleInstance(kInstanceName) {}

#ifdef _WIN32
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);

SingleInstance::SingleInstance(const std::string& name) {
    const std::string full = "Global\\" + name;
    const std::wstring wide(full.begin(), full.end());  // the names are ASCII
    SetLastError(ERROR_SUCCESS);
    mutex_ = CreateMutexW(nullptr, FALSE, wide.c_str());
    const DWORD error = GetLastError();
    acquired_ = !mutexSaysAnotherCopy(mutex_ != nullptr, error);
}

SingleInstance::~SingleInstance() {
    if (mutex_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
}
#else
SingleInstance::SingleInstance(const std::string& name) {
    const std::string dir = lan2comDataDir();
    ::mkdir(dir.c_str(), 0755);  // may exist already; a failure shows at open
    const std::string path = dir + "/" + (name == kInstanceName ? "lan2com" : name) + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd_ < 0) {
        return;  // no lock to be had here: run
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
        acquired_ = errno != EWOULDBLOCK;
        ::close(fd_);
        fd_ = -1;
    }
}

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) {
        ::close(fd_);  // releases the lock
    }
}
#endif

}  // namespace lan2com
