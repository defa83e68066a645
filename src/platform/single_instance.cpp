#include "app/single_instance.h"

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

#ifdef _WIN32
SingleInstance::SingleInstance() {
    mutex_ = CreateMutexW(nullptr, FALSE, L"Global\\lan2com.instance");
    acquired_ = !(mutex_ != nullptr && GetLastError() == ERROR_ALREADY_EXISTS);
}

SingleInstance::~SingleInstance() {
    if (mutex_ != nullptr) {
        CloseHandle(static_cast<HANDLE>(mutex_));
    }
}
#else
SingleInstance::SingleInstance() {
    const std::string dir = lan2comDataDir();
    ::mkdir(dir.c_str(), 0755);  // may exist already; a failure shows at open
    const std::string path = dir + "/lan2com.lock";
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
