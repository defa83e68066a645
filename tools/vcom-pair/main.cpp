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

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "basics.h"
#include "device_map.h"
#include "pair_records.h"
#include "processes.h"

namespace {

using lan2com::FileRegistry;
using lan2com::RegistryError;
using namespace vcom;

constexpr int kUsage = 2;
constexpr int kFailure = 1;

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

// The lowest pair number no record and no device-map value has; refuses names already in use in
// the device map, or as a device link (a pair, or a real port that was linked by hand).
int freePairNumber(const Paths& paths, FileRegistry& registry, const std::string& a,
                   const std::string& b) {
    std::set<int> numbers;
    for (const Pair& p : readRecords(paths)) {
        numbers.insert(p.number);
    }
    if (registry.openKey(kDeviceMap)) {
        for (const std::string& name : registry.valueNames()) {
            std::string port;
            try {
                port = registry.readString(name);
            } catch (const RegistryError&) {
                continue;  // not text: no port name
            }
            for (const auto& mine : {a, b}) {
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
    for (const auto& mine : {a, b}) {
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
    return number;
}

// Waits until socat has made both terminals; answers the terminals the links name.
std::pair<std::string, std::string> waitForTerminals(const Paths& paths, const Pair& p) {
    std::string ttyA;
    std::string ttyB;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while ((ttyA = linkTarget(paths.link(p.a))).empty() ||
           (ttyB = linkTarget(paths.link(p.b))).empty()) {
        if (!stillRunning(p.pid, p.start)) {
            throw Failure("socat ended at once: " + readLog(paths.log(p.number)));
        }
        if (Clock::now() > deadline) {
            throw Failure("socat did not make the terminals within 5 s");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {ttyA, ttyB};
}

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

    const int number = freePairNumber(paths, registry, *a, *b);
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
        const auto [ttyA, ttyB] = waitForTerminals(paths, p);
        addDeviceMapValues(registry, number, *a, *b);
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
