#include "processes.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace vcom {

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

}  // namespace vcom
