// Serial devices on Linux and other POSIX systems: termios over a tty.
//
// COMn is the link $XDG_DATA_HOME/lan2com/dosdevices/comn when it exists (virtual null-modem
// pairs live there), else /dev/ttyS<n-1>.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "serial/serial_device.h"

namespace lan2com {

namespace {

std::string errnoText(int error) {
    return std::strerror(error);
}

std::string dataHome() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {  // relative values are not valid there
        return xdg;
    }
    const char* home = std::getenv("HOME");
    std::string base;
    if (home != nullptr && home[0] != '\0') {
        base = home;
    } else if (const passwd* pw = getpwuid(getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        base = pw->pw_dir;
    }
    return base + "/.local/share";
}

std::string linkPath(std::uint16_t number) {
    return dataHome() + "/lan2com/dosdevices/com" + std::to_string(number);
}

bool speedConstant(std::int32_t baud, speed_t& out) {
    struct Entry {
        std::int32_t baud;
        speed_t constant;
    };
    static const Entry table[] = {
        {50, B50},         {75, B75},         {110, B110},       {134, B134},     {150, B150},
        {200, B200},       {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
        {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
        {57600, B57600},   {115200, B115200}, {230400, B230400},
#ifdef B460800
        {460800, B460800},
#endif
#ifdef B921600
        {921600, B921600},
#endif
    };
    for (const auto& entry : table) {
        if (entry.baud == baud) {
            out = entry.constant;
            return true;
        }
    }
    return false;
}

// A pseudo-terminal has no modem lines: those requests answer ENOTTY or EINVAL.
bool unsupported(int error) {
    return error == ENOTTY || error == EINVAL;
}

class PosixSerialDevice final : public SerialDevice {
  public:
    explicit PosixSerialDevice(int fd) : fd_(fd) {}

    ~PosixSerialDevice() override {
        ioctl(fd_, TIOCNXCL);  // the tty may stay open elsewhere: let the next opener in
        close(fd_);            // also drops the lock
    }

    void addWaits(WaitSet& set, bool wantWrite) override { token_ = set.add(fd_, true, wantWrite); }

    Ready check(const WaitSet& set) override {
        Ready ready;
        if (!token_) {
            ready.readable = true;  // not in the last wait (opened since): it may have bytes
            return ready;
        }
        const short revents = set.events(*token_);
        ready.readable = (revents & POLLIN) != 0;
        ready.writable = (revents & POLLOUT) != 0;
        if ((revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // On a pty slave POLLHUP means the master side is gone. Bytes that arrived before
            // are still readable; the read that follows them gives the error's own text.
            ready.readable = true;
            ready.failed = true;
            ready.error = (revents & POLLNVAL) != 0 ? "invalid descriptor" : "hang-up";
        }
        return ready;
    }

    long read(std::uint8_t* buffer, std::size_t size) override {
        return transfer([&] { return ::read(fd_, buffer, size); });
    }

    long write(const std::uint8_t* bytes, std::size_t size) override {
        return transfer([&] { return ::write(fd_, bytes, size); });
    }

    // One non-blocking read or write: the byte count, 0 when the device would block, -1 with the
    // error's text kept on failure. Interrupted calls are repeated.
    template <typename Op>
    long transfer(Op op) {
        for (;;) {
            const ssize_t n = op();
            if (n >= 0) {
                return static_cast<long>(n);
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return 0;
            }
            error_ = errnoText(errno);
            return -1;
        }
    }

    std::string error() const override { return error_; }

    void discardOutput() override { tcflush(fd_, TCOFLUSH); }

  private:
    int fd_;
    std::optional<WaitSet::Token> token_;  // in the last wait
    std::string error_;
};

// Undoes a half-done open: lets other openers in again and closes the device.
struct OpenGuard {
    int fd = -1;
    bool exclusive = false;
    ~OpenGuard() {
        if (fd >= 0) {
            if (exclusive) {
                ioctl(fd, TIOCNXCL);
            }
            close(fd);
        }
    }
};

[[noreturn]] void failOpen(std::uint16_t number, const std::string& what) {
    throw OpenFailedError("Cannot open COM" + std::to_string(number) + ": " + what);
}

void setModemLine(int fd, int line, bool on, std::uint16_t number, const char* name) {
    int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0 && !unsupported(errno)) {
        failOpen(number, std::string("cannot set ") + name + " (" + errnoText(errno) + ")");
    }
}

}  // namespace

std::string comDevicePath(std::uint16_t number) {
    const std::string link = linkPath(number);
    struct stat st {};
    if (lstat(link.c_str(), &st) == 0 || number == 0) {
        return link;
    }
    return "/dev/ttyS" + std::to_string(number - 1);
}

bool comDeviceExists(std::uint16_t number) {
    if (number == 0) {
        return false;
    }
    struct stat st {};
    return stat(comDevicePath(number).c_str(), &st) == 0;  // a dangling link does not count
}

std::unique_ptr<SerialDevice> openSerialDevice(std::uint16_t number, const LineSettings& line) {
    const std::string path = comDevicePath(number);
    OpenGuard guard;
    guard.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (guard.fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR || error == ENXIO || error == ENODEV) {
            throw NoSuchPortError();
        }
        if (error == EBUSY || error == EACCES) {
            throw PortAlreadyOpenError();
        }
        failOpen(number, errnoText(error));
    }
    const int fd = guard.fd;
    if (!isatty(fd)) {
        failOpen(number, path + " is not a serial device");
    }
    // Exclusive: TIOCEXCL keeps out other openers (but not root), the lock keeps out every other
    // port, of this process or another, that opens the device the same way.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            throw PortAlreadyOpenError();
        }
        failOpen(number, errnoText(errno));
    }
    if (ioctl(fd, TIOCEXCL) == 0) {
        guard.exclusive = true;
    } else if (!unsupported(errno)) {
        failOpen(number, errnoText(errno));
    }

    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        failOpen(number, errnoText(errno));
    }
    cfmakeraw(&tio);
    speed_t speed = 0;
    if (!speedConstant(line.baud, speed)) {
        failOpen(number, "unsupported speed " + std::to_string(line.baud));
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    tio.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    switch (line.dataBits) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        default:
            tio.c_cflag |= CS8;
            break;
    }
    switch (line.parity) {
        case Parity::pNone:
            break;
        case Parity::pOdd:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case Parity::pEven:
            tio.c_cflag |= PARENB;
            break;
#ifdef CMSPAR
        case Parity::pMark:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case Parity::pSpace:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
#else
        case Parity::pMark:
        case Parity::pSpace:
            tio.c_cflag |= PARENB;
            break;
#endif
    }
    if (line.stopBits >= 2) {
        tio.c_cflag |= CSTOPB;
    }
    // Raw bytes, no parity checking, no software flow control, modem lines ignored.
    tio.c_cflag |= CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF | IXANY | IGNPAR | PARMRK);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        failOpen(number, errnoText(errno));
    }

    setModemLine(fd, TIOCM_DTR, line.dtr, number, "DTR");
    if (!line.rs485) {
        setModemLine(fd, TIOCM_RTS, line.rts, number, "RTS");
    }
#if defined(__linux__) && defined(TIOCSRS485)
    if (line.rs485) {
        serial_rs485 rs485{};
        rs485.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        // A driver that cannot drive RTS by itself refuses; RTS then stays released.
        if (ioctl(fd, TIOCSRS485, &rs485) != 0) {
            int bits = TIOCM_RTS;
            ioctl(fd, TIOCMBIC, &bits);
        }
    }
#endif
    tcflush(fd, TCIOFLUSH);

    auto device = std::make_unique<PosixSerialDevice>(fd);
    guard.fd = -1;  // the device owns it now
    return device;
}

}  // namespace lan2com
