// vcom-pair: virtual null-modem COM port pairs for Linux.
//
//   vcom-pair add COMa COMb   start a pair of pseudo-terminals joined by socat, link
//                             $XDG_DATA_HOME/lan2com/dosdevices/coma and …/comb to its two ends
//                             and enter it in the device map of the registry file as
//                             "\Device\com0com1N"="COMa" and "\Device\com0com2N"="COMb"
//   vcom-pair remove COMx     end the pair that has COMx (either name): socat, links, values
//   vcom-pair list            print the pairs; pairs whose socat has ended are removed
//
// socat keeps running in the background after the tool ends. It holds the slave side of both
// terminals open itself, so either end can be closed and opened again by its user without the
// pair going down, and it puts both ends in raw mode without echo, so every byte value passes
// unchanged. What the tool knows of a pair (socat's process and its start time, the names) is
// kept in $XDG_DATA_HOME/lan2com/vcom-pair/pair<N>, with socat's messages in pair<N>.log.

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/registry_file.h"

namespace {

using lan2com::FileRegistry;
using lan2com::RegistryError;
using Clock = std::chrono::steady_clock;

constexpr const char* kDeviceMap = "\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr int kUsage = 2;
constexpr int kFailure = 1;

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string errnoText() {
    return std::strerror(errno);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

// "COM" and a number 1 … 9999 without leading zeros, in any case; answered as "COM<n>".
std::optional<std::string> portName(const std::string& arg) {
    if (arg.size() < 4 || arg.size() > 7 || lower(arg.substr(0, 3)) != "com" || arg[3] == '0') {
        return std::nullopt;
    }
    for (std::size_t i = 3; i < arg.size(); ++i) {
        if (arg[i] < '0' || arg[i] > '9') {
            return std::nullopt;
        }
    }
    return "COM" + arg.substr(3);
}

struct Paths {
    std::string data = lan2com::lan2comDataDir();
    std::string devices = data + "/dosdevices";
    std::string state = data + "/vcom-pair";
    std::string registry = data + "/registry.reg";

    std::string link(const std::string& port) const { return devices + "/" + lower(port); }
    std::string record(int n) const { return state + "/pair" + std::to_string(n); }
    std::string log(int n) const { return record(n) + ".log"; }
};

bool makeDirs(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const std::size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(dir.substr(0, slash))) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// ---- processes -------------------------------------------------------------------------------

// The state letter and start time (clock ticks after boot) of a process, from /proc.
std::optional<std::pair<char, unsigned long long>> processStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    const std::size_t paren = line.rfind(')');
    if (paren == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(line.substr(paren + 1));
    std::string field;
    char state = '?';
    unsigned long long start = 0;
    for (int i = 3; rest >> field; ++i) {  // field 3 is the state, field 22 the start time
        if (i == 3) {
            state = field[0];
        } else if (i == 22) {
            start = std::stoull(field);
            return std::make_pair(state, start);
        }
    }
    return std::nullopt;
}

std::string processName(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

// The process is still the socat that was started (not a later process with the same id).
bool stillRunning(pid_t pid, unsigned long long start) {
    const auto st = processStat(pid);
    return st && st->first != 'Z' && st->first != 'X' && st->second == start &&
           processName(pid) == "socat";
}

void stopProcess(pid_t pid, unsigned long long start) {
    if (!stillRunning(pid, start)) {
        return;
    }
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (stillRunning(pid, start)) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<std::string> findSocat() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = (dir.empty() ? "." : dir) + "/socat";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

// Starts socat detached from the tool (own session; the tool's descriptors closed; stdin and
// stdout on /dev/null, stderr into the log) and answers its process id.
pid_t startSocat(const std::string& socat, const std::vector<std::string>& args,
                 const std::string& cwd, const std::string& log) {
    int pidPipe[2];
    int errPipe[2];
    if (::pipe2(pidPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
        throw Failure("cannot start socat: " + errnoText());
    }
    const pid_t child = ::fork();
    if (child < 0) {
        throw Failure("cannot start socat: " + errnoText());
    }
    if (child == 0) {
        ::setsid();
        const pid_t socatPid = ::fork();
        if (socatPid != 0) {  // the middle process hands over the id and ends at once
            (void)!::write(pidPipe[1], &socatPid, sizeof socatPid);
            ::_exit(socatPid > 0 ? 0 : 1);
        }
        const int null = ::open("/dev/null", O_RDWR);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (null < 0 || out < 0 || ::chdir(cwd.c_str()) != 0 || ::dup2(null, 0) < 0 ||
            ::dup2(null, 1) < 0 || ::dup2(out, 2) < 0) {
            const int err = errno;
            (void)!::write(errPipe[1], &err, sizeof err);
            ::_exit(127);
        }
        // Nothing of the caller's (a test runner's pipes, say) may stay open in socat.
        if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) != 0) {
            for (int fd = 3; fd < 4096; ++fd) {
                ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            }
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(socat.c_str()));
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(socat.c_str(), argv.data());
        const int err = errno;
        (void)!::write(errPipe[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(pidPipe[1]);
    ::close(errPipe[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    pid_t socatPid = -1;
    const bool gotPid = ::read(pidPipe[0], &socatPid, sizeof socatPid) == sizeof socatPid;
    ::close(pidPipe[0]);
    int err = 0;
    const bool failed = ::read(errPipe[0], &err, sizeof err) == sizeof err;  // EOF: exec worked
    ::close(errPipe[0]);
    if (!gotPid || socatPid <= 0) {
        throw Failure("cannot start socat");
    }
    if (failed) {
        throw Failure("cannot start socat: " + std::string(std::strerror(err)));
    }
    return socatPid;
}

// ---- what the tool knows of its pairs ---------------------------------------------------------

struct Pair {
    int number = 0;
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string a;
    std::string b;
};

std::optional<Pair> readRecord(const std::string& path, int number) {
    std::ifstream in(path);
    Pair p;
    p.number = number;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        try {
            if (key == "pid") {
                p.pid = static_cast<pid_t>(std::stol(value));
            } else if (key == "start") {
                p.start = std::stoull(value);
            } else if (key == "a") {
                p.a = value;
            } else if (key == "b") {
                p.b = value;
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (p.pid <= 0 || p.a.empty() || p.b.empty()) {
        return std::nullopt;
    }
    return p;
}

void writeRecord(const Paths& paths, const Pair& p) {
    const std::string path = paths.record(p.number);
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "pid=" << p.pid << "\nstart=" << p.start << "\na=" << p.a << "\nb=" << p.b << "\n";
        if (!out.flush()) {
            throw Failure("cannot write " + tmp);
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        throw Failure("cannot write " + path + ": " + errnoText());
    }
}

// The records in the state folder, by pair number.
std::vector<Pair> readRecords(const Paths& paths) {
    std::vector<Pair> pairs;
    DIR* dir = ::opendir(paths.state.c_str());
    if (dir == nullptr) {
        return pairs;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 5 || name.compare(0, 4, "pair") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int number = std::stoi(name.substr(4));
        if (auto p = readRecord(paths.state + "/" + name, number)) {
            pairs.push_back(*p);
        }
    }
    ::closedir(dir);
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& x, const Pair& y) { return x.number < y.number; });
    return pairs;
}

// ---- the device map --------------------------------------------------------------------------

std::string valueName(int side, int number) {
    return "\\Device\\com0com" + std::to_string(side) + std::to_string(number);
}

// The pair number of a value name the tool writes ("\Device\com0com1N" / "…2N"), or -1.
int numberOf(const std::string& name) {
    const std::string prefix = "\\Device\\com0com";
    if (name.size() < prefix.size() + 2 || name.compare(0, prefix.size(), prefix) != 0 ||
        (name[prefix.size()] != '1' && name[prefix.size()] != '2')) {
        return -1;
    }
    const std::string digits = name.substr(prefix.size() + 1);
    if (digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return -1;
    }
    return std::stoi(digits);
}

void printNotices(FileRegistry& registry) {
    for (const auto& n : registry.TakeNotices()) {
        std::cerr << "vcom-pair: " << n << "\n";
    }
}

void removeDeviceMapValues(FileRegistry& registry, int number) {
    registry.Batch([&] {
        if (registry.OpenKey(kDeviceMap)) {
            registry.DeleteValue(valueName(1, number));
            registry.DeleteValue(valueName(2, number));
        }
        registry.CloseKey();
    });
}

void removeLink(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        ::unlink(path.c_str());
    }
}

// Ends a pair and removes everything of it.
void dismantle(const Paths& paths, FileRegistry& registry, const Pair& p) {
    stopProcess(p.pid, p.start);
    removeLink(paths.link(p.a));
    removeLink(paths.link(p.b));
    removeDeviceMapValues(registry, p.number);
    ::unlink(paths.record(p.number).c_str());
    ::unlink(paths.log(p.number).c_str());
}

// Removes the pairs whose socat has ended; answers the pairs that run.
std::vector<Pair> prune(const Paths& paths, FileRegistry& registry) {
    std::vector<Pair> running;
    for (const Pair& p : readRecords(paths)) {
        if (stillRunning(p.pid, p.start)) {
            running.push_back(p);
        } else {
            dismantle(paths, registry, p);
            std::cerr << "vcom-pair: removed " << p.a << " <-> " << p.b << ": its socat (pid "
                      << p.pid << ") has ended\n";
        }
    }
    return running;
}

// Serialises the tool's own runs: one add, remove or list at a time.
class ToolLock {
  public:
    explicit ToolLock(const Paths& paths) {
        if (!makeDirs(paths.state)) {
            throw Failure("cannot create " + paths.state + ": " + errnoText());
        }
        const std::string path = paths.state + "/.lock";
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
        if (fd_ < 0) {
            throw Failure("cannot open " + path + ": " + errnoText());
        }
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
            if (Clock::now() > deadline) {
                throw Failure("another vcom-pair keeps " + path + " locked");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~ToolLock() { ::close(fd_); }
    ToolLock(const ToolLock&) = delete;
    ToolLock& operator=(const ToolLock&) = delete;

  private:
    int fd_ = -1;
};

std::string linkTarget(const std::string& link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    buf[n] = '\0';
    struct stat st {};
    return ::stat(buf, &st) == 0 ? std::string(buf) : std::string();
}

std::string readLog(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- the commands ----------------------------------------------------------------------------

int add(const std::string& argA, const std::string& argB) {
    const auto a = portName(argA);
    const auto b = portName(argB);
    if (!a || !b) {
        std::cerr << "vcom-pair: a port name is COM and a number from 1 to 9999, like COM10 (got "
                  << (!a ? argA : argB) << ")\n";
        return kUsage;
    }
    if (*a == *b) {
        std::cerr << "vcom-pair: the two ports of a pair need different names\n";
        return kUsage;
    }
    const auto socat = findSocat();
    if (!socat) {
        std::cerr << "vcom-pair: socat is not installed (no socat in PATH); install the Debian "
                     "package socat\n";
        return kFailure;
    }
    Paths paths;
    ToolLock lock(paths);
    FileRegistry registry(paths.registry);
    prune(paths, registry);

    // Names already in use: in the device map, or as a device link (a pair, or a real port that
    // was linked by hand).
    std::set<int> numbers;
    for (const Pair& p : readRecords(paths)) {
        numbers.insert(p.number);
    }
    if (registry.OpenKey(kDeviceMap)) {
        for (const std::string& name : registry.GetValueNames()) {
            std::string port;
            try {
                port = registry.ReadString(name);
            } catch (const RegistryError&) {
                continue;  // not text: no port name
            }
            for (const auto& mine : {*a, *b}) {
                if (lower(port) == lower(mine)) {
                    throw Failure(mine + " is in use: the device map has it as \"" + name + "\"");
                }
            }
            if (const int n = numberOf(name); n >= 0) {
                numbers.insert(n);
            }
        }
    }
    printNotices(registry);
    for (const auto& mine : {*a, *b}) {
        struct stat st {};
        if (::lstat(paths.link(mine).c_str(), &st) == 0) {
            throw Failure(mine + " is in use: " + paths.link(mine) + " exists");
        }
    }
    int number = 0;
    while (numbers.count(number) != 0) {
        ++number;
    }
    if (number > 253) {
        throw Failure("no free pair number left");
    }
    if (!makeDirs(paths.devices)) {
        throw Failure("cannot create " + paths.devices + ": " + errnoText());
    }

    // socat makes both terminals, holds them open, links them by the relative names (cwd is the
    // devices folder) and removes the links when it ends.
    Pair p;
    p.number = number;
    p.a = *a;
    p.b = *b;
    const std::vector<std::string> args = {"pty,link=" + lower(*a) + ",rawer",
                                           "pty,link=" + lower(*b) + ",rawer"};
    p.pid = startSocat(*socat, args, paths.devices, paths.log(number));
    const auto stat = processStat(p.pid);
    p.start = stat ? stat->second : 0;
    try {
        writeRecord(paths, p);
        std::string ttyA;
        std::string ttyB;
        const auto deadline = Clock::now() + std::chrono::seconds(5);
        while ((ttyA = linkTarget(paths.link(*a))).empty() ||
               (ttyB = linkTarget(paths.link(*b))).empty()) {
            if (!stillRunning(p.pid, p.start)) {
                throw Failure("socat ended at once: " + readLog(paths.log(number)));
            }
            if (Clock::now() > deadline) {
                throw Failure("socat did not make the terminals within 5 s");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        registry.Batch([&] {
            registry.CreateKey(kDeviceMap);
            if (!registry.OpenKey(kDeviceMap)) {
                throw RegistryError(std::string("Failed to create key ") + kDeviceMap);
            }
            registry.WriteString(valueName(1, number), *a);
            registry.WriteString(valueName(2, number), *b);
            registry.CloseKey();
        });
        printNotices(registry);
        std::cout << *a << " <-> " << *b << "  (pair " << number << ", " << ttyA << " <-> " << ttyB
                  << ", socat pid " << p.pid << ")\n";
    } catch (...) {
        stopProcess(p.pid, p.start);
        removeLink(paths.link(*a));
        removeLink(paths.link(*b));
        ::unlink(paths.record(number).c_str());
        throw;
    }
    return 0;
}

int removePair(const std::string& arg) {
    const auto name = portName(arg);
    if (!name) {
        std::cerr << "vcom-pair: a port name is COM and a number from 1 to 9999, like COM10 (got "
                  << arg << ")\n";
        return kUsage;
    }
    Paths paths;
    ToolLock lock(paths);
    FileRegistry registry(paths.registry);
    for (const Pair& p : readRecords(paths)) {
        if (p.a == *name || p.b == *name) {
            dismantle(paths, registry, p);
            printNotices(registry);
            std::cout << "removed " << p.a << " <-> " << p.b << "\n";
            return 0;
        }
    }
    printNotices(registry);
    throw Failure("no pair has " + *name + " (vcom-pair list shows the pairs)");
}

int list() {
    Paths paths;
    ToolLock lock(paths);
    FileRegistry registry(paths.registry);
    for (const Pair& p : prune(paths, registry)) {
        std::cout << p.a << " <-> " << p.b << "  (pair " << p.number << ", "
                  << linkTarget(paths.link(p.a)) << " <-> " << linkTarget(paths.link(p.b))
                  << ", socat pid " << p.pid << ")\n";
    }
    printNotices(registry);
    return 0;
}

int usage() {
    std::cerr << "usage: vcom-pair add COMa COMb | vcom-pair remove COMx | vcom-pair list\n";
    return kUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    try {
        if (args.size() == 3 && args[0] == "add") {
            return add(args[1], args[2]);
        }
        if (args.size() == 2 && args[0] == "remove") {
            return removePair(args[1]);
        }
        if (args.size() == 1 && args[0] == "list") {
            return list();
        }
        return usage();
    } catch (const std::exception& e) {
        std::cerr << "vcom-pair: " << e.what() << "\n";
        return kFailure;
    }
}
