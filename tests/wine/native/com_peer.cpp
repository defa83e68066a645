// Test scaffolding for the Windows tests under Wine, never part of the program.
//
// The far end of the COM ports that the Windows tests open. For every COM number given it makes a
// pseudo-terminal pair, links <dosdevices>/com<N> to the slave side (Wine opens that link for
// \\.\COM<N>) and serves the master side as the monitoring software's end of a null-modem pair:
// it records what the port writes, and writes what a test asks it to. Tests steer it through
// datagrams on a loopback control socket, one request and one answer each:
//
//   ping                  -> pong
//   reset N               -> ok        (echo off, recorded bytes dropped, a hung-up line restored)
//   echo N on|off         -> ok        (with echo on, every byte received is written back)
//   send N <hex>          -> ok        (the bytes are written in one write)
//   take N                -> data <hex> (the bytes received since the last take; may be empty)
//   lines N               -> lines dtr=<0|1> rts=<0|1> | lines unknown   (as the modem shim saw)
//   hangup N              -> ok        (both sides of the pty closed: the device fails)
//
// Every failure answers "error <text>". The helper writes "port=<control port>" to the ready file
// once every link is in place, and ends on SIGTERM, SIGINT, when its standard input reaches end of
// file (the harness holds a pipe to it), or after --max-seconds.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t stopRequested = 0;

void onSignal(int) {
    stopRequested = 1;
}

std::string errnoText(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

struct Line {
    int number = 0;
    int master = -1;
    int slave = -1;  // kept open, so that the master never reads EIO between the port's opens
    std::string slaveName;
    bool echo = false;
    std::vector<std::uint8_t> received;
};

class Peer {
  public:
    Peer(std::string dosdevices, std::string stateDir)
        : dosdevices_(std::move(dosdevices)), stateDir_(std::move(stateDir)) {}

    ~Peer() {
        for (auto& entry : lines_) {
            closeLine(entry.second);
            ::unlink(linkPath(entry.first).c_str());
        }
        if (control_ >= 0) {
            ::close(control_);
        }
    }

    void addLine(int number) {
        Line& line = lines_[number];
        line.number = number;
        openLine(line);
    }

    std::uint16_t openControl() {
        control_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (control_ < 0) {
            throw std::runtime_error(errnoText("control socket"));
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        if (::bind(control_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw std::runtime_error(errnoText("bind control socket"));
        }
        socklen_t size = sizeof address;
        if (::getsockname(control_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
            throw std::runtime_error(errnoText("getsockname"));
        }
        return ntohs(address.sin_port);
    }

    // Serves until told to stop; answers the exit status.
    int run(int maxSeconds) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
        while (!stopRequested) {
            if (std::chrono::steady_clock::now() >= end) {
                std::fprintf(stderr, "com-peer: ran for %d s, ending\n", maxSeconds);
                return 0;
            }
            std::vector<pollfd> fds;
            fds.push_back({control_, POLLIN, 0});
            fds.push_back({STDIN_FILENO, POLLIN, 0});
            std::vector<int> numbers;
            for (auto& entry : lines_) {
                if (entry.second.master >= 0) {
                    fds.push_back({entry.second.master, POLLIN, 0});
                    numbers.push_back(entry.first);
                }
            }
            const int ready = ::poll(fds.data(), fds.size(), 200);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::perror("com-peer: poll");
                return 1;
            }
            for (std::size_t i = 2; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    readMaster(lines_[numbers[i - 2]]);
                }
            }
            if (fds[0].revents & POLLIN) {
                serveRequest();
            }
            if (fds[1].revents & (POLLIN | POLLHUP)) {
                char byte;
                const ssize_t n = ::read(STDIN_FILENO, &byte, 1);
                if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                    return 0;  // the harness has gone
                }
            }
        }
        return 0;
    }

  private:
    std::string linkPath(int number) const { return dosdevices_ + "/com" + std::to_string(number); }

    void openLine(Line& line) {
        if (::openpty(&line.master, &line.slave, nullptr, nullptr, nullptr) != 0) {
            throw std::runtime_error(errnoText("openpty for COM" + std::to_string(line.number)));
        }
        ::fcntl(line.master, F_SETFD, FD_CLOEXEC);
        ::fcntl(line.slave, F_SETFD, FD_CLOEXEC);
        ::fcntl(line.master, F_SETFL, ::fcntl(line.master, F_GETFL) | O_NONBLOCK);
        // Raw from the start: an echoing line discipline would send our own bytes back to us.
        termios tio{};
        if (::tcgetattr(line.slave, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(line.slave, TCSANOW, &tio);
        }
        const char* name = ::ttyname(line.slave);
        if (name == nullptr) {
            throw std::runtime_error(errnoText("ttyname"));
        }
        line.slaveName = name;
        const std::string link = linkPath(line.number);
        const std::string temp = link + ".new";
        ::unlink(temp.c_str());
        if (::symlink(line.slaveName.c_str(), temp.c_str()) != 0 ||
            ::rename(temp.c_str(), link.c_str()) != 0) {
            throw std::runtime_error(errnoText("link " + link));
        }
    }

    static void closeLine(Line& line) {
        if (line.master >= 0) {
            ::close(line.master);
        }
        if (line.slave >= 0) {
            ::close(line.slave);
        }
        line.master = line.slave = -1;
    }

    void readMaster(Line& line) {
        std::uint8_t buffer[512];
        for (;;) {
            const ssize_t n = ::read(line.master, buffer, sizeof buffer);
            if (n <= 0) {
                return;  // nothing more now (EAGAIN); EIO cannot happen while we hold the slave
            }
            line.received.insert(line.received.end(), buffer, buffer + n);
            if (line.echo) {
                writeAll(line, buffer, static_cast<std::size_t>(n));
            }
        }
    }

    static bool writeAll(Line& line, const std::uint8_t* bytes, std::size_t size) {
        std::size_t done = 0;
        int stalls = 0;
        while (done < size) {
            const ssize_t n = ::write(line.master, bytes + done, size - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            }
            if (++stalls > 200) {
                return false;  // the port reads nothing for a second: give up
            }
            ::usleep(5000);
        }
        return true;
    }

    std::string lineStates(const Line& line) const {
        if (stateDir_.empty() || line.slave < 0) {
            return "lines unknown";
        }
        struct stat st {};
        if (::fstat(line.slave, &st) != 0) {
            return "lines unknown";
        }
        const unsigned number = (major(st.st_rdev) - 136u) * 256u + minor(st.st_rdev);
        std::ifstream in(stateDir_ + "/pts-" + std::to_string(number));
        std::string text;
        if (!std::getline(in, text)) {
            return "lines unknown";
        }
        return "lines " + text;
    }

    std::string handle(const std::string& request) {
        std::istringstream in(request);
        std::string verb;
        in >> verb;
        if (verb == "ping") {
            return "pong";
        }
        int number = 0;
        if (!(in >> number) || lines_.count(number) == 0) {
            return "error no such line";
        }
        Line& line = lines_[number];
        if (verb == "reset") {
            if (line.master < 0) {
                openLine(line);
            }
            readMaster(line);
            line.received.clear();
            line.echo = false;
            return "ok";
        }
        if (line.master < 0) {
            return "error line hung up";
        }
        if (verb == "echo") {
            std::string mode;
            in >> mode;
            if (mode != "on" && mode != "off") {
                return "error echo on|off";
            }
            line.echo = mode == "on";
            return "ok";
        }
        if (verb == "send") {
            std::string hex;
            in >> hex;
            std::vector<std::uint8_t> bytes;
            if (hex.size() % 2 != 0) {
                return "error odd hex";
            }
            for (std::size_t i = 0; i < hex.size(); i += 2) {
                char* endPtr = nullptr;
                const std::string pair = hex.substr(i, 2);
                const long value = std::strtol(pair.c_str(), &endPtr, 16);
                if (endPtr != pair.c_str() + 2) {
                    return "error bad hex";
                }
                bytes.push_back(static_cast<std::uint8_t>(value));
            }
            return writeAll(line, bytes.data(), bytes.size()) ? "ok" : "error write failed";
        }
        if (verb == "take") {
            readMaster(line);
            static const char digits[] = "0123456789abcdef";
            std::string hex;
            for (std::uint8_t b : line.received) {
                hex += digits[b >> 4];
                hex += digits[b & 15];
            }
            line.received.clear();
            return "data " + hex;
        }
        if (verb == "lines") {
            return lineStates(line);
        }
        if (verb == "hangup") {
            closeLine(line);
            return "ok";
        }
        return "error unknown request";
    }

    void serveRequest() {
        char buffer[2048];
        sockaddr_in from{};
        socklen_t size = sizeof from;
        const ssize_t n = ::recvfrom(control_, buffer, sizeof buffer - 1, 0,
                                     reinterpret_cast<sockaddr*>(&from), &size);
        if (n <= 0) {
            return;
        }
        std::string answer;
        try {
            answer = handle(std::string(buffer, static_cast<std::size_t>(n)));
        } catch (const std::exception& e) {
            answer = std::string("error ") + e.what();
        }
        ::sendto(control_, answer.data(), answer.size(), 0, reinterpret_cast<sockaddr*>(&from),
                 size);
    }

    std::string dosdevices_;
    std::string stateDir_;
    int control_ = -1;
    std::map<int, Line> lines_;
};

int usage() {
    std::fprintf(stderr,
                 "usage: lan2com-com-peer --dosdevices DIR --ready FILE [--state-dir DIR] "
                 "[--max-seconds N] COMNUMBER...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dosdevices;
    std::string readyFile;
    std::string stateDir;
    int maxSeconds = 3600;
    std::vector<int> numbers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--dosdevices" || arg == "--ready" || arg == "--state-dir" ||
             arg == "--max-seconds") &&
            i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--dosdevices") {
                dosdevices = value;
            } else if (arg == "--ready") {
                readyFile = value;
            } else if (arg == "--state-dir") {
                stateDir = value;
            } else {
                maxSeconds = std::atoi(value.c_str());
            }
        } else {
            char* end = nullptr;
            const long number = std::strtol(arg.c_str(), &end, 10);
            if (end == arg.c_str() || *end != '\0' || number < 1 || number > 255) {
                return usage();
            }
            numbers.push_back(static_cast<int>(number));
        }
    }
    if (dosdevices.empty() || readyFile.empty() || numbers.empty() || maxSeconds <= 0) {
        return usage();
    }

    struct sigaction action {};
    action.sa_handler = onSignal;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    try {
        Peer peer(dosdevices, stateDir);
        for (int number : numbers) {
            peer.addLine(number);
        }
        const std::uint16_t port = peer.openControl();
        const std::string temp = readyFile + ".new";
        {
            std::ofstream out(temp);
            out << "port=" << port << "\n";
            if (!out) {
                throw std::runtime_error("cannot write " + temp);
            }
        }
        if (::rename(temp.c_str(), readyFile.c_str()) != 0) {
            throw std::runtime_error(errnoText("rename " + temp));
        }
        return peer.run(maxSeconds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "com-peer: %s\n", e.what());
        return 1;
    }
}
