#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "serial/apd_com_port.h"

namespace lan2com {

// Line settings a device is opened with.
struct LineSettings {
    std::int32_t baud = 115200;
    std::uint16_t dataBits = 8;
    Parity parity = Parity::pNone;
    std::uint16_t stopBits = 1;
    std::uint16_t inSize = 42;   // receive queue asked of the driver
    std::uint16_t outSize = 42;  // transmit queue asked of the driver
    bool dtr = true;
    bool rts = true;
    bool rs485 = false;  // the driver drives RTS while it transmits
};

// One open serial device, as the port's thread sees it. The device is opened exclusively
// and closed by the destructor.
//
// Threads: wait(), read(), write() and purge() belong to the port's thread (purge() may also be
// called once that thread has ended); wake() and writeNow() may be called from any thread.
class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    struct Ready {
        bool readable = false;  // read() has bytes for us
        bool writable = false;  // write() can take more
        bool failed = false;    // the device has failed or gone; error says how
        std::string error;      // the operating system's text
    };

    // Blocks until something the caller waits for happens, until wake() is called, or until the
    // timeout (none: no limit) has passed. With watchDevice false only wake() and the timeout end
    // the wait (a failed device is no longer watched).
    virtual Ready wait(bool wantRead, bool wantWrite, bool watchDevice,
                       std::optional<std::chrono::milliseconds> timeout) = 0;

    // Ends a present or the next wait().
    virtual void wake() = 0;

    // Reads what has arrived, without waiting: the number of bytes (0 when nothing has), or -1
    // when the device failed (error() says how).
    virtual long read(std::uint8_t* buffer, std::size_t size) = 0;

    // Hands bytes to the device without waiting: the number it took (0 when it takes nothing at
    // present), or -1 when the device failed.
    virtual long write(const std::uint8_t* bytes, std::size_t size) = 0;

    // Any thread: hands bytes to the device at once if it takes them without waiting, and answers
    // how many it took. Whatever it does not take, a failure included, is left to write() on the
    // port's thread, which alone notices and reports a failed device. By default it takes nothing.
    virtual std::size_t writeNow(const std::uint8_t* /*bytes*/, std::size_t /*size*/) { return 0; }

    // The text of the last failure of read() or write().
    virtual std::string error() const = 0;

    // Discards the driver's transmit and receive queues.
    virtual void purge() = 0;
};

// Opens the device of a port; the operating system's devices unless a stand-in is given.
class SerialDeviceOpener {
  public:
    virtual ~SerialDeviceOpener() = default;
    // Raises the port's errors as openSerialDevice() does.
    virtual std::unique_ptr<SerialDevice> open(std::uint16_t number, const LineSettings& line) = 0;
};

// Opens COMn with the given settings. Raises EBadId when the device does not exist,
// EAlreadyOpen when another opener holds it, EOpenFailed ("Cannot open COMn: …") on any other
// failure.
std::unique_ptr<SerialDevice> openSerialDevice(std::uint16_t number, const LineSettings& line);

}  // namespace lan2com
