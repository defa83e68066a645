#pragma once

// The far end of a COM port in the serial port tests: a pseudo-terminal pair, linked as COMn in a
// private XDG_DATA_HOME.

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace lan2com::serialtest {

namespace fs = std::filesystem;

// A private data home with the dosdevices folder; restores XDG_DATA_HOME when it goes.
class DevicesHome {
  public:
    DevicesHome() {
        std::string pattern = (fs::temp_directory_path() / "lan2com-serial-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            std::abort();
        }
        root_ = pattern;
        fs::create_directories(devices());
        if (const char* old = std::getenv("XDG_DATA_HOME")) {
            old_ = old;
            hadOld_ = true;
        }
        setenv("XDG_DATA_HOME", root_.c_str(), 1);
    }
    ~DevicesHome() {
        if (hadOld_) {
            setenv("XDG_DATA_HOME", old_.c_str(), 1);
        } else {
            unsetenv("XDG_DATA_HOME");
        }
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    DevicesHome(const DevicesHome&) = delete;
    DevicesHome& operator=(const DevicesHome&) = delete;

    fs::path devices() const { return root_ / "lan2com" / "dosdevices"; }

    // Points COMn at target (an existing file or not).
    void link(int number, const std::string& target) const {
        const fs::path path = devices() / ("com" + std::to_string(number));
        std::error_code ignored;
        fs::remove(path, ignored);
        fs::create_symlink(target, path);
    }

  private:
    fs::path root_;
    std::string old_;
    bool hadOld_ = false;
};

// The far end of a COM port: a pty pair whose slave the port opens as COMn and whose master the
// test reads and writes, like the monitoring software on the other port of a null-modem pair.
class PtyEnd {
  public:
    PtyEnd(const DevicesHome& home, int number) { open(home, number); }
    ~PtyEnd() { hangUp(); }
    PtyEnd(const PtyEnd&) = delete;
    PtyEnd& operator=(const PtyEnd&) = delete;

    // A fresh pair behind the same COMn (the far end coming back).
    void open(const DevicesHome& home, int number) {
        hangUp();
        char name[256] = {};
        termios raw{};
        cfmakeraw(&raw);
        if (openpty(&master_, &slave_, name, &raw, nullptr) != 0) {
            std::abort();
        }
        slavePath_ = name;
        home.link(number, slavePath_);
    }

    // Closes both sides of the pair held here: the port's side sees a hang-up.
    void hangUp() {
        if (master_ >= 0) {
            close(master_);
            master_ = -1;
        }
        if (slave_ >= 0) {
            close(slave_);
            slave_ = -1;
        }
    }

    const std::string& slavePath() const { return slavePath_; }

    void write(const std::vector<std::uint8_t>& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else {
                pollfd p{master_, POLLOUT, 0};
                poll(&p, 1, 100);
            }
        }
    }

    // Reads until n bytes have come or the time is up.
    std::vector<std::uint8_t> read(std::size_t n, int timeoutMs) {
        std::vector<std::uint8_t> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                break;
            }
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            std::uint8_t buffer[4096];
            const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, n - out.size()));
            if (got <= 0) {
                break;
            }
            out.insert(out.end(), buffer, buffer + got);
        }
        return out;
    }

  private:
    int master_ = -1;
    int slave_ = -1;  // keeps the slave alive while the port has it closed
    std::string slavePath_;
};

}  // namespace lan2com::serialtest
