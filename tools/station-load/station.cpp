#include "station.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "channels/config_store.h"
#include "platform/registry_file.h"

namespace stationload {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// The relay's UDP ports: free a moment ago on the wildcard address, where lan2com binds them.
std::vector<std::uint16_t> freeUdpPorts(int count) {
    std::vector<int> sockets;
    std::vector<std::uint16_t> ports;
    for (int i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error(std::string("no free UDP port: ") + std::strerror(errno));
        }
        sockets.push_back(fd);  // held until all are chosen, so that no port comes twice
        ports.push_back(ntohs(address.sin_port));
    }
    for (const int fd : sockets) {
        ::close(fd);
    }
    return ports;
}

// Runs a program to its end; answers its exit text ("" for status 0) and its output.
std::string runTool(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                    const std::string& logPath, std::string& output) {
    ::unlink(logPath.c_str());
    ChildProcess child(argv, env, logPath);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    while (child.running()) {
        if (Clock::now() > deadline) {
            child.terminate(std::chrono::seconds(1));
            return "did not end within 30 s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    output = child.logTail(20);
    const std::string how = child.exitText();
    return how == "exit status 0" ? "" : how;
}

}  // namespace

std::string programFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        throw std::runtime_error("cannot find my own executable: " + error.message());
    }
    return self.parent_path().string();
}

std::string siblingProgram(const std::string& name, const std::string& folder) {
    const fs::path program = fs::path(folder) / name;
    if (::access(program.c_str(), X_OK) != 0) {
        throw std::runtime_error(program.string() + " is missing: build it first");
    }
    return program.string();
}

StationHome::StationHome(int channels, const std::string& programs) {
    std::string pattern = (fs::temp_directory_path() / "station-load-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error(std::string("cannot make a temporary folder: ") +
                                 std::strerror(errno));
    }
    root_ = pattern;
    try {
        const std::string devices = root_ + "/lan2com/dosdevices";
        fs::create_directories(devices);
        vcomPair_ = siblingProgram("vcom-pair", programs);
        const std::vector<std::uint16_t> ports = freeUdpPorts(channels);
        for (int k = 1; k <= channels; ++k) {
            ChannelSetup c;
            c.channel = k;
            c.udpPort = ports[static_cast<std::size_t>(k - 1)];
            c.comIn = 9 + 2 * k;  // COM11/COM12 … COM41/COM42
            c.comOut = c.comIn + 1;
            c.comInPath = devices + "/com" + std::to_string(c.comIn);
            c.comOutPath = devices + "/com" + std::to_string(c.comOut);
            std::string output;
            const std::string failure =
                runTool({vcomPair_, "add", "COM" + std::to_string(c.comIn),
                         "COM" + std::to_string(c.comOut)},
                        {"XDG_DATA_HOME=" + root_}, root_ + "/vcom-pair.out", output);
            if (!failure.empty()) {
                throw std::runtime_error("vcom-pair add failed (" + failure + "): " + output);
            }
            pairsMade_.push_back(c.comIn);
            channels_.push_back(c);
        }
        writeRegistry();
    } catch (...) {
        cleanup();
        throw;
    }
}

StationHome::~StationHome() {
    cleanup();
}

void StationHome::cleanup() {
    if (root_.empty()) {
        return;
    }
    if (!pairsMade_.empty()) {
        for (const int comIn : pairsMade_) {
            std::string output;
            const std::string failure =
                runTool({vcomPair_, "remove", "COM" + std::to_string(comIn)},
                        {"XDG_DATA_HOME=" + root_}, root_ + "/vcom-pair.out", output);
            if (!failure.empty()) {
                std::fprintf(stderr, "station-load: vcom-pair remove COM%d: %s %s\n", comIn,
                             failure.c_str(), output.c_str());
            }
        }
        pairsMade_.clear();
    }
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    root_.clear();
}

void StationHome::writeRegistry() const {
    lan2com::FileRegistry registry(root_ + "/lan2com/registry.reg");
    const std::string configKey(lan2com::kConfigKey);
    registry.batch([&] {
        registry.setRootKey();
        registry.createKey(configKey);
        if (!registry.openKey(configKey)) {
            throw std::runtime_error("cannot create " + configKey);
        }
        registry.writeString("AddrIP", "127.0.0.1");
        // Subkeys load in the order they were made: the k-th is channel k.
        for (const ChannelSetup& c : channels_) {
            const std::string key = configKey + "\\Pair" + std::to_string(c.channel);
            registry.createKey(key);
            if (!registry.openKey(key)) {
                throw std::runtime_error("cannot create " + key);
            }
            registry.writeInteger("Pair", c.channel);
            registry.writeString("AddrIP", "127.0.0.1");
            registry.writeString("ComIn", "COM" + std::to_string(c.comIn));
            registry.writeString("ComOut", "COM" + std::to_string(c.comOut));
            registry.writeInteger("Port", c.udpPort);
            registry.writeInteger("Conv", 2);  // no digit conversion: every hex digit passes
        }
        registry.closeKey();
    });
}

// ---- ChildProcess ------------------------------------------------------------------------------

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::vector<std::string>& env, const std::string& logPath)
    : logPath_(logPath) {
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        throw std::runtime_error("cannot write " + logPath + ": " + std::strerror(errno));
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
        ::close(log);
        throw std::runtime_error(std::string("cannot start a process: ") + std::strerror(errno));
    }
    if (pid_ == 0) {
        ::setpgid(0, 0);
        for (const auto& e : env) {
            const std::size_t eq = e.find('=');
            ::setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null < 0 || ::dup2(null, 0) < 0 || ::dup2(log, 1) < 0 || ::dup2(log, 2) < 0) {
            ::_exit(127);
        }
        ::execv(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    ::close(log);
}

ChildProcess::~ChildProcess() {
    if (running()) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status_, 0);
    }
}

bool ChildProcess::running() {
    if (ended_) {
        return false;
    }
    const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
    if (done == pid_) {
        ended_ = true;
    }
    return !ended_;
}

std::string ChildProcess::exitText() const {
    if (!ended_) {
        return "running";
    }
    if (WIFEXITED(status_)) {
        return "exit status " + std::to_string(WEXITSTATUS(status_));
    }
    if (WIFSIGNALED(status_)) {
        return std::string("killed by signal ") + std::to_string(WTERMSIG(status_)) + " (" +
               ::strsignal(WTERMSIG(status_)) + ")";
    }
    return "ended";
}

bool ChildProcess::terminate(std::chrono::milliseconds grace) {
    if (!running()) {
        return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (running()) {
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status_, 0);
            ended_ = true;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(status_) && WEXITSTATUS(status_) == 0;
}

std::string ChildProcess::logTail(int lines) const {
    std::ifstream in(logPath_);
    std::deque<std::string> tail;
    std::string line;
    while (std::getline(in, line)) {
        tail.push_back(line);
        if (static_cast<int>(tail.size()) > lines) {
            tail.pop_front();
        }
    }
    std::string text;
    for (const auto& l : tail) {
        text += l + "\n";
    }
    return text;
}

}  // namespace stationload
