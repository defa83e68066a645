#include "platform/registry_file.h"

#include "platform/reg_text.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <thread>

namespace lan2com {
namespace {

std::string errorText(int err) {
    return std::generic_category().message(err);
}

std::string parentDir(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// mkdir -p.
bool makeDirs(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const std::string parent = parentDir(dir);
    if (parent != dir && !makeDirs(parent)) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

void syncDir(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The whole content of a file; false with errno set when it cannot be read.
bool readWhole(const std::string& path, std::string& out, bool& missing) {
    missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        missing = errno == ENOENT;
        return missing;
    }
    out.clear();
    char buf[16384];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            errno = err;
            return false;
        }
        if (n == 0) {
            break;
        }
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return true;
}

bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string timestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d-%H%M%S", &tm);
    return buf;
}

// Moves a file to a name that is not taken yet: `target`, else target-1, target-2 …
// Answers the name used, or "" with errno set.
std::string moveAside(const std::string& path, const std::string& target) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string name = attempt == 0 ? target : target + "-" + std::to_string(attempt);
        if (::link(path.c_str(), name.c_str()) == 0) {
            ::unlink(path.c_str());
            return name;
        }
        if (errno == EEXIST) {
            continue;
        }
        // A file system without hard links: rename, after making sure the name is free (the
        // writers' lock is held, so nobody else moves files here meanwhile).
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) {
            continue;
        }
        if (::rename(path.c_str(), name.c_str()) == 0) {
            return name;
        }
        return {};
    }
    errno = EEXIST;
    return {};
}

// Releases the lock when a scope ends.
class Unlocker {
  public:
    explicit Unlocker(std::function<void()> release) : release_(std::move(release)) {}
    ~Unlocker() { release_(); }
    Unlocker(const Unlocker&) = delete;
    Unlocker& operator=(const Unlocker&) = delete;

  private:
    std::function<void()> release_;
};

}  // namespace

std::string lan2comDataDir() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/lan2com";
    }
    std::string home;
    if (const char* h = std::getenv("HOME"); h != nullptr && h[0] != '\0') {
        home = h;
    } else if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        home = pw->pw_dir;
    } else {
        home = "/";
    }
    if (home.size() > 1 && home.back() == '/') {
        home.pop_back();
    }
    return home + "/.local/share/lan2com";
}

std::string defaultRegistryPath() {
    return lan2comDataDir() + "/registry.reg";
}

std::unique_ptr<Registry> openSystemRegistry() {
    return std::make_unique<FileRegistry>(defaultRegistryPath());
}

FileRegistry::FileRegistry(std::string path, std::chrono::milliseconds lockTimeout)
    : path_(std::move(path)),
      dir_(parentDir(path_)),
      lockPath_(path_ + ".lock"),
      lockTimeout_(lockTimeout) {}

FileRegistry::~FileRegistry() {
    unlock();
}

bool FileRegistry::lock() {
    if (lockFd_ >= 0) {
        return true;
    }
    if (!makeDirs(dir_)) {
        return false;
    }
    const int fd = ::open(lockPath_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + lockTimeout_;
    while (true) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            lockFd_ = fd;
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::close(fd);
    return false;
}

void FileRegistry::unlock() {
    if (lockFd_ >= 0) {
        ::flock(lockFd_, LOCK_UN);
        ::close(lockFd_);
        lockFd_ = -1;
    }
}

void FileRegistry::notice(const std::string& text) {
    if (told_.insert(text).second) {
        notices_.push_back(text);
    }
}

std::vector<std::string> FileRegistry::takeNotices() {
    std::vector<std::string> out;
    out.swap(notices_);
    return out;
}

bool FileRegistry::refresh(bool haveLock) {
    std::string text;
    bool missing = false;
    if (!readWhole(path_, text, missing)) {
        notice("Файл реестра «" + path_ + "» не удаётся прочитать: " + errorText(errno) +
               ". Настройки считаются отсутствующими; записать их нельзя, пока файл недоступен.");
        return false;
    }
    if (missing) {
        cache_ = Cache{};
        cache_.valid = true;
        cache_.missing = true;
        return true;
    }
    if (cache_.valid && !cache_.missing && text == cache_.text) {
        return true;  // read once, kept: every operation reads the file, not every one parses it
    }
    try {
        RegistryTree tree = parseRegText(text);
        cache_.tree = std::move(tree);
        cache_.text = std::move(text);
        cache_.missing = false;
        cache_.valid = true;
        return true;
    } catch (const RegParseError& e) {
        cache_ = Cache{};
        const std::string what = "Файл реестра «" + path_ + "» повреждён (строка " +
                                 std::to_string(e.line()) + ": " + e.reason() + ")";
        if (!haveLock) {
            // Move it aside under the writers' lock, after reading it once more: a writer may
            // have replaced it meanwhile.
            if (!lock()) {
                notice(what + ". Настройки считаются отсутствующими.");
                return false;
            }
            Unlocker guard([this] { unlock(); });
            return refresh(true);
        }
        const std::string moved = moveAside(path_, path_ + ".bad-" + timestamp());
        if (moved.empty()) {
            notice(what + "; перенести его в сторону не удалось: " + errorText(errno) +
                   ". Настройки считаются отсутствующими; записать их нельзя, пока файл не "
                   "исправлен или не удалён.");
            return false;
        }
        syncDir(dir_);
        notice(what + " и перенесён в «" + moved +
               "». Настройки каналов и пары портов считаются отсутствующими.");
        cache_.valid = true;
        cache_.missing = true;
        return true;
    }
}

bool FileRegistry::load(RegistryTree& tree, bool haveLock) {
    if (!refresh(haveLock)) {
        tree = RegistryTree{};
        return false;
    }
    tree = cache_.tree;
    return true;
}

void FileRegistry::removeStaleTemporaries() {
    // What a write that was interrupted between creating its temporary file and renaming it left
    // behind. Only a writer holding the lock calls this, so no such file belongs to a live write.
    const std::string prefix = "." + baseName(path_) + ".";
    DIR* dir = ::opendir(dir_.c_str());
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        bool temporary = true;  // the six characters that mkostemp put in place of XXXXXX
        for (std::size_t i = prefix.size(); i < name.size(); ++i) {
            const char c = name[i];
            temporary = temporary && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                                      (c >= 'A' && c <= 'Z'));
        }
        if (temporary) {
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
        }
    }
    ::closedir(dir);
}

bool FileRegistry::save(const RegistryTree& tree) {
    mode_t mode = 0644;
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        if ((st.st_mode & 0222) == 0) {
            return false;  // a file made read-only stays unchanged, whoever we are
        }
        mode = st.st_mode & 07777;
    }
    if (!makeDirs(dir_)) {
        return false;
    }
    removeStaleTemporaries();
    std::string tmp = dir_ + "/." + baseName(path_) + ".XXXXXX";
    const int fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok =
        ::fchmod(fd, mode) == 0 && writeAll(fd, formatRegText(tree)) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !ok || ::rename(tmp.c_str(), path_.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    syncDir(dir_);
    return true;
}

void FileRegistry::read(const std::function<void(const RegistryTree&)>& look) {
    if (batchDepth_ > 0 && batchUsable_) {
        look(batchTree_);
        return;
    }
    if (refresh(batchDepth_ > 0 && batchLocked_)) {
        look(cache_.tree);
    } else {
        look(RegistryTree{});
    }
}

bool FileRegistry::change(const std::function<Outcome(RegistryTree&)>& edit,
                          const std::string& failure, bool raises) {
    if (batchDepth_ > 0) {
        if (!batchUsable_) {
            return false;
        }
        const Outcome outcome = edit(batchTree_);
        if (outcome == Outcome::Refused) {
            return false;
        }
        if (outcome == Outcome::Changed) {
            batchDirty_ = true;
            std::string& first = raises ? batchFailure_ : batchAnswerOnly_;
            if (first.empty()) {
                first = failure;
            }
        }
        return true;
    }
    if (!lock()) {
        return false;
    }
    Unlocker guard([this] { unlock(); });
    RegistryTree tree;
    if (!load(tree, true)) {
        return false;
    }
    const Outcome outcome = edit(tree);
    if (outcome == Outcome::Refused) {
        return false;
    }
    return outcome == Outcome::Unchanged || save(tree);
}

void FileRegistry::batch(const std::function<void()>& body) {
    if (batchDepth_ > 0) {
        body();
        return;
    }
    batchDepth_ = 1;
    batchDirty_ = false;
    batchFailure_.clear();
    batchAnswerOnly_.clear();
    batchLocked_ = lock();
    batchUsable_ = batchLocked_ && load(batchTree_, true);
    Unlocker guard([this] {
        batchDepth_ = 0;
        batchLocked_ = false;
        batchUsable_ = false;
        batchTree_ = RegistryTree{};
        unlock();
    });
    body();
    if (batchDirty_ && !save(batchTree_)) {
        throw RegistryError(batchFailure_.empty() ? batchAnswerOnly_ : batchFailure_);
    }
}

}  // namespace lan2com
