#include "e2e/station_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace lan2com::e2e {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string hex8(std::uint32_t v) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", v);
    return text;
}

std::string buildDir() {
    return LAN2COM_BUILD_DIR;
}

// The runner's environment with some variables set.
std::vector<std::string> environment(const std::map<std::string, std::string>& set) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry = *e;
        const std::string name = entry.substr(0, entry.find('='));
        if (set.count(name) == 0) {
            env.push_back(entry);
        }
    }
    for (const auto& [name, value] : set) {
        env.push_back(name + "=" + value);
    }
    return env;
}

// Starts a program with its output in files. Everything is made ready before the fork: the
// runner has threads, so the child does nothing but redirect, close and exec.
pid_t spawn(const std::string& exe, const std::vector<std::string>& args,
            const std::vector<std::string>& env, const fs::path& out, const fs::path& err,
            bool dieWithRunner) {
    std::vector<std::string> argvText{exe};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argvText) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envText = env;
    std::vector<char*> envp;
    for (std::string& e : envText) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    const std::string outPath = out.string();
    const std::string errPath = err.string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
    }
    if (pid == 0) {
        if (dieWithRunner) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) {
                ::_exit(125);
            }
        }
        const int null = ::open("/dev/null", O_RDONLY);
        const int o = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        const int e = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (null < 0 || o < 0 || e < 0 || ::dup2(null, 0) < 0 || ::dup2(o, 1) < 0 ||
            ::dup2(e, 2) < 0) {
            ::_exit(126);
        }
        // Nothing of the runner (its ptys, its sockets) may stay open in the program.
        ::close_range(3, ~0U, 0);
        ::execve(exe.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

// Waits for a child; answers its exit code, -1 when it ended by a signal, -2 on timeout.
int waitFor(pid_t pid, int timeoutMs) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (Clock::now() >= deadline) {
            return -2;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

// The inodes of the sockets a process has open.
std::set<std::string> socketInodes(pid_t pid) {
    std::set<std::string> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        return inodes;
    }
    while (const dirent* e = ::readdir(d)) {
        char target[256];
        const std::string link = dir + "/" + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;
        }
        target[n] = '\0';
        const std::string t = target;
        if (t.rfind("socket:[", 0) == 0 && t.back() == ']') {
            inodes.insert(t.substr(8, t.size() - 9));
        }
    }
    ::closedir(d);
    return inodes;
}

}  // namespace

// ---- MonitorEnd ------------------------------------------------------------------------------

MonitorEnd::MonitorEnd(fs::path path) : path_(std::move(path)) {}

MonitorEnd::~MonitorEnd() {
    close();
}

bool MonitorEnd::open() {
    close();
    fd_ = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) {
        return false;
    }
    termios t{};
    ::tcgetattr(fd_, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    ::tcsetattr(fd_, TCSANOW, &t);
    return true;
}

void MonitorEnd::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

Bytes MonitorEnd::read(std::size_t n, int timeoutMs) {
    Bytes out;
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (fd_ >= 0 && out.size() < n) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, remainingMs(deadline)) <= 0) {
            break;
        }
        std::uint8_t buf[512];
        const ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
        if (got > 0) {
            out.insert(out.end(), buf, buf + got);
        } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
    return out;
}

Bytes MonitorEnd::readFor(int ms) {
    return read(std::size_t(1) << 20, ms);
}

void MonitorEnd::write(const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (fd_ >= 0 && done < bytes.size() && Clock::now() < deadline) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            break;
        } else {
            std::this_thread::sleep_for(milliseconds(1));
        }
    }
    if (done != bytes.size()) {
        throw std::runtime_error("cannot write to the monitoring end " + path_.string());
    }
}

// ---- StationProcess --------------------------------------------------------------------------

StationProcess::StationProcess() {
    std::string pattern = (fs::temp_directory_path() / "lan2com-e2e-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    home_ = pattern;
    fs::create_directories(home_ / "run");
    fs::permissions(home_ / "run", fs::perms::owner_all);
    fs::create_directories(appData());
}

StationProcess::~StationProcess() {
    if (pid_ > 0 && running()) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_, 5000);
    }
    for (const pid_t other : others_) {
        ::kill(other, SIGKILL);
        waitFor(other, 5000);
    }
    if (::testing::Test::HasFailure()) {
        std::cerr << "---- lan2com's output ----\n" << programOutput() << "---- end ----\n";
    }
    monitors_.clear();
    endSocat();
    std::error_code ignored;
    fs::permissions(appData(), fs::perms::owner_all, ignored);
    fs::remove_all(home_, ignored);
}

int StationProcess::addChannel(const ChannelConfig& config) {
    ChannelConfig c = config;
    while (c.port == 0) {
        const std::uint16_t candidate = lan2com::test::freeUdpPort();
        bool taken = false;
        for (const ChannelConfig& other : channels_) {
            taken = taken || other.port == candidate;
        }
        if (!taken) {
            c.port = candidate;
        }
    }
    channels_.push_back(c);
    return static_cast<int>(channels_.size()) - 1;
}

std::string StationProcess::configurationText() const {
    std::ostringstream reg;
    reg << "Windows Registry Editor Version 5.00\n\n"
        << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP]\n"
        << "\"AddrIP\"=\"127.0.0.1\"\n\n";
    for (std::size_t s = 0; s < channels_.size(); ++s) {
        const ChannelConfig& c = channels_[s];
        const int pair = static_cast<int>(s) + 1;
        reg << "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP\\Pair" << pair << "]\n"
            << "\"Pair\"=dword:" << hex8(std::uint32_t(pair)) << "\n"
            << "\"AddrIP\"=\"" << c.addrIP << "\"\n"
            << "\"ComIn\"=\"COM" << comIn(int(s)) << "\"\n"
            << "\"ComOut\"=\"COM" << comIn(int(s)) + 1 << "\"\n"
            << "\"Port\"=dword:" << hex8(c.port) << "\n"
            << "\"Conv\"=dword:" << hex8(c.conv) << "\n\n";
    }
    return reg.str();
}

void StationProcess::prepare() {
    if (prepared_) {
        return;
    }
    prepared_ = true;
    {
        std::ofstream out(registryFile(), std::ios::binary | std::ios::trunc);
        out << configurationText();
    }
    for (std::size_t s = 0; s < channels_.size(); ++s) {
        if (!addPair(int(s))) {
            throw std::runtime_error("vcom-pair could not make the pair of slot " +
                                     std::to_string(s));
        }
        monitors_.push_back(std::make_unique<MonitorEnd>(
            appData() / "dosdevices" / ("com" + std::to_string(comIn(int(s)) + 1))));
        if (!monitors_.back()->open()) {
            throw std::runtime_error("cannot open the monitoring end of slot " + std::to_string(s));
        }
    }
}

ToolRun StationProcess::vcomPair(const std::vector<std::string>& args) const {
    const fs::path out = home_ / "vcom-pair.out";
    const fs::path err = home_ / "vcom-pair.err";
    std::error_code ignored;
    fs::remove(out, ignored);
    fs::remove(err, ignored);
    const pid_t pid = spawn(buildDir() + "/vcom-pair", args,
                            environment({{"XDG_DATA_HOME", home_.string()}}), out, err, false);
    ToolRun run;
    run.status = waitFor(pid, 30000);
    if (run.status == -2) {
        ::kill(pid, SIGKILL);
        waitFor(pid, 5000);
        run.status = -1;
    }
    run.out = slurp(out);
    run.err = slurp(err);
    return run;
}

bool StationProcess::addPair(int slot) {
    const ToolRun run = vcomPair(
        {"add", "COM" + std::to_string(comIn(slot)), "COM" + std::to_string(comIn(slot) + 1)});
    if (run.status != 0) {
        ADD_FAILURE() << "vcom-pair add: " << run.err;
    }
    return run.status == 0;
}

bool StationProcess::removePair(int slot) {
    const ToolRun run = vcomPair({"remove", "COM" + std::to_string(comIn(slot))});
    if (run.status != 0) {
        ADD_FAILURE() << "vcom-pair remove: " << run.err;
    }
    return run.status == 0;
}

pid_t StationProcess::launch(const std::string& logName) {
    std::map<std::string, std::string> env = env_;
    env["XDG_DATA_HOME"] = home_.string();
    env["XDG_RUNTIME_DIR"] = (home_ / "run").string();
    env["QT_QPA_PLATFORM"] = "offscreen";
    // No heartbeat line in the middle of a slow test unless the test asks for one.
    env.emplace("LAN2COM_HEARTBEAT_MS", "3600000");
    const fs::path log = home_ / (logName + ".log");
    return spawn(buildDir() + "/lan2com", {}, environment(env), log, log, true);
}

bool StationProcess::start(bool waitReady, int timeoutMs) {
    prepare();
    pid_ = launch("lan2com");
    if (!waitReady) {
        return true;
    }
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    for (;;) {
        bool all = true;
        for (const ChannelConfig& c : channels_) {
            all = all && boundByStation(c.port);
        }
        if (all) {
            return true;
        }
        if (!running() || Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(10));
    }
}

bool StationProcess::running() {
    if (pid_ <= 0) {
        return false;
    }
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return false;
    }
    return r == 0;
}

int StationProcess::stop(int timeoutMs) {
    if (!running()) {
        return exitCode_;
    }
    ::kill(pid_, SIGTERM);
    int code = waitFor(pid_, timeoutMs);
    if (code == -2) {
        ADD_FAILURE() << "lan2com did not end within " << timeoutMs << " ms of SIGTERM";
        ::kill(pid_, SIGKILL);
        waitFor(pid_, 5000);
        code = -1;
    }
    pid_ = -1;
    exitCode_ = code;
    return code;
}

bool StationProcess::boundByStation(std::uint16_t port) const {
    if (pid_ <= 0) {
        return false;
    }
    const std::set<std::string> mine = socketInodes(pid_);
    char portHex[8];
    std::snprintf(portHex, sizeof portHex, ":%04X", port);
    for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // the heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::vector<std::string> f;
            std::string field;
            while (fields >> field) {
                f.push_back(field);
            }
            if (f.size() < 10) {
                continue;
            }
            const std::string& local = f[1];
            if (local.size() > 5 && local.compare(local.size() - 5, 5, portHex) == 0 &&
                mine.count(f[9]) != 0) {
                return true;
            }
        }
    }
    return false;
}

std::string StationProcess::programOutput() const {
    return slurp(home_ / "lan2com.log");
}

pid_t StationProcess::startAnother(const std::string& name) {
    prepare();
    others_.push_back(launch(name));
    return others_.back();
}

int StationProcess::stopAnother(pid_t pid, int timeoutMs) {
    ::kill(pid, SIGTERM);
    int code = waitFor(pid, timeoutMs);
    if (code == -2) {
        ADD_FAILURE() << "the other lan2com did not end within " << timeoutMs << " ms of SIGTERM";
        ::kill(pid, SIGKILL);
        waitFor(pid, 5000);
        code = -1;
    }
    others_.erase(std::remove(others_.begin(), others_.end(), pid), others_.end());
    return code;
}

std::string StationProcess::outputOf(const std::string& name) const {
    return slurp(home_ / (name + ".log"));
}

void StationProcess::endSocat() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(appData() / "vcom-pair", ec)) {
        std::ifstream in(e.path());
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("pid=", 0) != 0) {
                continue;
            }
            const pid_t pid = static_cast<pid_t>(std::stol(line.substr(4)));
            std::string name;
            std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
            if (pid > 0 && name == "socat") {
                ::kill(pid, SIGKILL);
            }
        }
    }
}

// ---- bytes -----------------------------------------------------------------------------------

Bytes eventDatagram(const std::string& digits16) {
    Bytes out;
    for (const char c : digits16) {
        out.push_back(static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'A' + 10));
    }
    return out;
}

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes heartbeatLine() {
    return bytesOf("1011" + std::string(11, ' ') + "@" + std::string(4, ' ') + "\x14");
}

bool receiveReply(lan2com::test::UdpPeer& peer, Bytes& reply, std::uint16_t& fromPort,
                  int timeoutMs) {
    return peer.receive(reply, fromPort, timeoutMs);
}

bool silentFor(lan2com::test::UdpPeer& peer, int ms) {
    Bytes reply;
    std::uint16_t from = 0;
    return !peer.receive(reply, from, ms);
}

}  // namespace lan2com::e2e
