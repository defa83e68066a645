// Serial devices on Windows: \\.\COMn opened for overlapped transfers.

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "serial/serial_device.h"

namespace lan2com {

namespace {

// How long a read of bytes the driver already holds may take before it is cut short.
constexpr DWORD kReadWaitMs = 1000;

std::string winErrorText(DWORD error) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), reinterpret_cast<char*>(&text),
        0, nullptr);
    std::string result;
    if (n != 0 && text != nullptr) {
        result.assign(text, n);
        while (!result.empty() && (result.back() == '\r' || result.back() == '\n' ||
                                   result.back() == ' ' || result.back() == '.')) {
            result.pop_back();
        }
    }
    if (text != nullptr) {
        LocalFree(text);
    }
    if (result.empty()) {
        result = "system error " + std::to_string(error);
    }
    return result;
}

// A COM number that one of this process's ports has open. Windows refuses a second opener of a
// device by itself; the claim keeps that rule for the process's own ports also where the system
// does not (Wine ignores the share mode of serial devices).
class Claim {
  public:
    explicit Claim(std::uint16_t number) : number_(number) {
        std::lock_guard<std::mutex> lock(mutex());
        if (!held().insert(number).second) {
            throw PortAlreadyOpenError();
        }
    }
    ~Claim() {
        std::lock_guard<std::mutex> lock(mutex());
        held().erase(number_);
    }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;

  private:
    static std::mutex& mutex() {
        static std::mutex m;
        return m;
    }
    static std::set<std::uint16_t>& held() {
        static std::set<std::uint16_t> numbers;
        return numbers;
    }
    std::uint16_t number_;
};

class Win32SerialDevice final : public SerialDevice {
  public:
    Win32SerialDevice(HANDLE handle, bool rs485, std::unique_ptr<Claim> claim)
        : handle_(handle), rs485_(rs485), claim_(std::move(claim)) {
        commOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        readOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        writeOv_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }

    bool valid() const {
        return commOv_.hEvent != nullptr && readOv_.hEvent != nullptr && writeOv_.hEvent != nullptr;
    }

    ~Win32SerialDevice() override {
        // Transfers left running must end before their OVERLAPPED structures go. A new event mask
        // ends a pending WaitCommEvent at once; cancelling alone does not reach it everywhere (Wine
        // waits for device events on a thread of its own that only a mask change stops).
        if (commPending_) {
            SetCommMask(handle_, 0);
        }
        if (commPending_ || writePending_) {
            CancelIoEx(handle_, nullptr);
            DWORD n = 0;
            if (commPending_) {
                GetOverlappedResult(handle_, &commOv_, &n, TRUE);
            }
            if (writePending_) {
                GetOverlappedResult(handle_, &writeOv_, &n, TRUE);
            }
        }
        CloseHandle(handle_);
        for (HANDLE h : {commOv_.hEvent, readOv_.hEvent, writeOv_.hEvent}) {
            if (h != nullptr) {
                CloseHandle(h);
            }
        }
    }

    void addWaits(WaitSet& set, bool wantWrite) override {
        if (rs485_ && !prioritySet_) {
            // With the driver toggling RTS, transmissions go out a step ahead of the rest.
            SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
            prioritySet_ = true;
        }
        Ready ready;
        if (!checkWrite(ready) || !collectComm(ready)) {
            failure_ = ready.error;
            set.readyNow();
            return;
        }
        if (wantWrite && !writePending_) {
            set.readyNow();  // room at once
        }
        if (!commPending_) {
            DWORD errors = 0;
            COMSTAT status{};
            if (!ClearCommError(handle_, &errors, &status)) {
                failure_ = winErrorText(GetLastError());
                set.readyNow();
                return;
            }
            if (status.cbInQue > 0) {
                set.readyNow();  // bytes wait already: read them before waiting for more
            } else {
                commMask_ = 0;
                ResetEvent(commOv_.hEvent);
                if (WaitCommEvent(handle_, &commMask_, &commOv_)) {
                    noteCommEvent();
                    set.readyNow();
                } else if (GetLastError() == ERROR_IO_PENDING) {
                    commPending_ = true;
                } else {
                    failure_ = winErrorText(GetLastError());
                    set.readyNow();
                    return;
                }
            }
        }
        if (commPending_) {
            set.add(commOv_.hEvent);
        }
        if (writePending_) {
            set.add(writeOv_.hEvent);
        }
    }

    Ready check(const WaitSet& /*set*/) override {
        Ready ready;
        if (!failure_.empty()) {
            ready.failed = true;
            ready.error = failure_;
            ready.readable = true;
            return ready;
        }
        if (!collectComm(ready) || !checkWrite(ready)) {
            failure_ = ready.error;
            ready.readable = true;
            return ready;
        }
        ready.readable = true;  // read() asks the driver what it holds
        ready.writable = !writePending_;
        return ready;
    }

    long read(std::uint8_t* buffer, std::size_t size) override {
        // Only what the driver holds is asked for, so the read never has to wait. The read
        // timeouts (return at once with what has arrived) say the same, but not every
        // implementation keeps them for overlapped reads: Wine leaves such a read pending until
        // data comes, or ends it with a time-out.
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle_, &errors, &status)) {
            error_ = winErrorText(GetLastError());
            return -1;
        }
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(size, status.cbInQue));
        if (wanted == 0) {
            return 0;
        }
        DWORD n = 0;
        ResetEvent(readOv_.hEvent);
        if (ReadFile(handle_, buffer, wanted, &n, &readOv_)) {
            return static_cast<long>(n);
        }
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            // The bytes are there, so it ends at once; should it not, it is cut short.
            if (WaitForSingleObject(readOv_.hEvent, kReadWaitMs) != WAIT_OBJECT_0) {
                CancelIoEx(handle_, &readOv_);
            }
            if (GetOverlappedResult(handle_, &readOv_, &n, TRUE)) {
                return static_cast<long>(n);
            }
            error = GetLastError();
        }
        if (error == ERROR_TIMEOUT || error == ERROR_OPERATION_ABORTED) {
            return static_cast<long>(n);  // nothing, or what came before the read was ended
        }
        error_ = winErrorText(error);
        return -1;
    }

    long write(const std::uint8_t* bytes, std::size_t size) override {
        Ready ready;
        if (!checkWrite(ready)) {
            error_ = ready.error;
            return -1;
        }
        if (writePending_) {
            return 0;
        }
        block_.assign(bytes, bytes + size);
        ResetEvent(writeOv_.hEvent);
        DWORD n = 0;
        if (WriteFile(handle_, block_.data(), static_cast<DWORD>(block_.size()), &n, &writeOv_)) {
            return static_cast<long>(n);
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            writePending_ = true;  // the bytes are the device's now
            return static_cast<long>(size);
        }
        error_ = winErrorText(error);
        return -1;
    }

    std::string error() const override { return error_; }

    void discardOutput() override {
        // A write the driver still holds (its other end closed, say) is aborted with the rest.
        aborting_ = writePending_;
        PurgeComm(handle_, PURGE_TXABORT | PURGE_TXCLEAR);
    }

    bool peerPresent() const override { return dsr_; }

    // The other end's line as it is now (on a null-modem pair our DSR follows its DTR).
    void readModemLines() {
        DWORD status = 0;
        if (GetCommModemStatus(handle_, &status)) {
            dsr_ = (status & MS_DSR_ON) != 0;
        }
    }

  private:
    void noteCommEvent() {
        if ((commMask_ & EV_DSR) != 0) {
            readModemLines();
        }
    }

    // Collects a finished WaitCommEvent, so that the next wait starts a new one; false when it
    // failed.
    bool collectComm(Ready& ready) {
        if (!commPending_) {
            return true;
        }
        DWORD unused = 0;
        if (GetOverlappedResult(handle_, &commOv_, &unused, FALSE)) {
            commPending_ = false;
            noteCommEvent();
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return true;
        }
        commPending_ = false;
        fail(ready, error);
        return false;
    }

    void fail(Ready& ready, DWORD error) {
        ready.failed = true;
        ready.error = winErrorText(error);
    }

    // Collects a finished overlapped write; false when it failed.
    bool checkWrite(Ready& ready) {
        if (!writePending_) {
            return true;
        }
        DWORD n = 0;
        if (GetOverlappedResult(handle_, &writeOv_, &n, FALSE)) {
            writePending_ = false;
            aborting_ = false;
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE) {
            return true;
        }
        writePending_ = false;
        if (aborting_ && error == ERROR_OPERATION_ABORTED) {
            aborting_ = false;  // discarded on purpose: no failure of the device
            return true;
        }
        fail(ready, error);
        return false;
    }

    HANDLE handle_;
    bool rs485_;
    std::unique_ptr<Claim> claim_;  // released once the handle is closed
    bool prioritySet_ = false;
    std::string failure_;  // the device failed; nothing is waited on any more
    OVERLAPPED commOv_{};
    DWORD commMask_ = 0;
    bool commPending_ = false;
    OVERLAPPED readOv_{};
    OVERLAPPED writeOv_{};
    bool writePending_ = false;
    bool aborting_ = false;  // the pending write was discarded
    bool dsr_ = true;        // the other end's line, as last seen
    std::vector<std::uint8_t> block_;
    std::string error_;
};

[[noreturn]] void failOpen(HANDLE handle, std::uint16_t number, const std::string& what) {
    CloseHandle(handle);
    throw OpenFailedError("Cannot open COM" + std::to_string(number) + ": " + what);
}

}  // namespace

std::string comDevicePath(std::uint16_t number) {
    return "\\\\.\\COM" + std::to_string(number);
}

bool comDeviceExists(std::uint16_t number) {
    if (number == 0) {
        return false;
    }
    // The device name COMn is what the open resolves ("\\.\COMn" names it); the driver that has
    // the device defines it, and withdraws it when the device goes. Asking for it opens nothing,
    // so a device that another program holds counts too.
    const std::wstring name = L"COM" + std::to_wstring(number);
    std::vector<wchar_t> target(1024);
    for (;;) {
        if (QueryDosDeviceW(name.c_str(), target.data(), static_cast<DWORD>(target.size())) != 0) {
            return true;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || target.size() >= 65536) {
            return false;
        }
        target.resize(target.size() * 4);
    }
}

std::unique_ptr<SerialDevice> openSerialDevice(std::uint16_t number, const LineSettings& line) {
    const std::string path = comDevicePath(number);
    auto claim = std::make_unique<Claim>(number);  // PortAlreadyOpenError while another port has it
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
            throw NoSuchPortError();
        }
        if (error == ERROR_ACCESS_DENIED) {
            throw PortAlreadyOpenError();
        }
        throw OpenFailedError("Cannot open COM" + std::to_string(number) + ": " +
                              winErrorText(error));
    }

    if (!SetupComm(handle, line.inSize, line.outSize)) {
        failOpen(handle, number, winErrorText(GetLastError()));
    }

    if (!line.rs485) {
        EscapeCommFunction(handle, line.dtr ? SETDTR : CLRDTR);
        EscapeCommFunction(handle, line.rts ? SETRTS : CLRRTS);
    } else {
        EscapeCommFunction(handle, line.dtr ? SETDTR : CLRDTR);
    }

    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        failOpen(handle, number, winErrorText(GetLastError()));
    }
    dcb.BaudRate = static_cast<DWORD>(line.baud);
    dcb.ByteSize = static_cast<BYTE>(line.dataBits);
    switch (line.parity) {
        case Parity::pNone:
            dcb.Parity = NOPARITY;
            break;
        case Parity::pOdd:
            dcb.Parity = ODDPARITY;
            break;
        case Parity::pEven:
            dcb.Parity = EVENPARITY;
            break;
        case Parity::pMark:
            dcb.Parity = MARKPARITY;
            break;
        case Parity::pSpace:
            dcb.Parity = SPACEPARITY;
            break;
    }
    dcb.StopBits = line.stopBits >= 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = line.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;  // null bytes are data
    dcb.fAbortOnError = FALSE;
    dcb.XonChar = 17;
    dcb.XoffChar = 19;
    if (line.rs485) {
        dcb.fRtsControl = RTS_CONTROL_TOGGLE;
        if (!SetCommState(handle, &dcb)) {
            // A driver that cannot toggle RTS by itself refuses: RTS then stays released.
            dcb.fRtsControl = RTS_CONTROL_DISABLE;
            if (!SetCommState(handle, &dcb)) {
                failOpen(handle, number, winErrorText(GetLastError()));
            }
        }
    } else {
        dcb.fRtsControl = line.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        if (!SetCommState(handle, &dcb)) {
            failOpen(handle, number, winErrorText(GetLastError()));
        }
    }

    // Reads return at once with what has arrived; writes have no time limit.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(handle, &timeouts)) {
        failOpen(handle, number, winErrorText(GetLastError()));
    }
    if (!SetCommMask(handle, EV_RXCHAR | EV_CTS | EV_DSR | EV_RLSD | EV_BREAK | EV_ERR | EV_RING)) {
        failOpen(handle, number, winErrorText(GetLastError()));
    }
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

    auto device = std::make_unique<Win32SerialDevice>(handle, line.rs485, std::move(claim));
    if (!device->valid()) {
        const DWORD error = GetLastError();
        device.reset();  // closes the handle
        throw OpenFailedError("Cannot open COM" + std::to_string(number) + ": " +
                              winErrorText(error));
    }
    device->readModemLines();
    return device;
}

}  // namespace lan2com
