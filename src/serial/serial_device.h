#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/wait_set.h"
#include "serial/com_port.h"

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

// One open serial device, served by the station loop: it never blocks. The device is opened
// exclusively and closed by the destructor.
class SerialDevice {
  public:
    virtual ~SerialDevice() = default;

    struct Ready {
        bool readable = false;  // read() may have bytes for us
        bool writable = false;  // write() can take more
        bool failed = false;    // the device has failed or gone; error says how
        std::string error;      // the operating system's text
    };

    // Adds what should end the loop's wait for this device: arriving input, and room for output
    // when wantWrite. A device that can go on at once says so with set.readyNow().
    virtual void addWaits(WaitSet& set, bool wantWrite) = 0;
    // After the wait: what the device can do now. Never waits.
    virtual Ready check(const WaitSet& set) = 0;

    // Reads what has arrived, without waiting: the number of bytes (0 when nothing has), or -1
    // when the device failed (error() says how).
    virtual long read(std::uint8_t* buffer, std::size_t size) = 0;

    // Hands bytes to the device without waiting: the number it took (0 when it takes nothing at
    // present), or -1 when the device failed.
    virtual long write(const std::uint8_t* bytes, std::size_t size) = 0;

    // The text of the last failure of read() or write().
    virtual std::string error() const = 0;

    // Whether the other end is there: on a null-modem pair, whether the monitoring software has
    // its port open (our DSR follows its DTR). Devices that cannot tell answer true.
    virtual bool peerPresent() const { return true; }

    // Discards what the driver has not sent yet (and, on a pseudo-terminal, what its other end
    // has not read yet).
    virtual void discardOutput() = 0;
};

// Opens the device of a port; the operating system's devices unless a stand-in is given.
class SerialDeviceOpener {
  public:
    virtual ~SerialDeviceOpener() = default;
    // Raises the port's errors as openSerialDevice() does.
    virtual std::unique_ptr<SerialDevice> open(std::uint16_t number, const LineSettings& line) = 0;
};

// Opens COMn with the given settings. Raises NoSuchPortError when the device does not exist,
// PortAlreadyOpenError when another opener holds it, OpenFailedError ("Cannot open COMn: …") on any
// other failure.
std::unique_ptr<SerialDevice> openSerialDevice(std::uint16_t number, const LineSettings& line);

}  // namespace lan2com
