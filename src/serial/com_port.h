#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wait_set.h"

namespace lan2com {

// ---- Errors of the serial port; every one carries its fixed message. ----

class SerialError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
class NoSuchPortError : public SerialError {
  public:
    NoSuchPortError() : SerialError("ie_BadId - Specified comport doesn't exist") {}
};
class PortAlreadyOpenError : public SerialError {
  public:
    PortAlreadyOpenError() : SerialError("ie_Open - device already open") {}
};
class NoPortSelectedError : public SerialError {
  public:
    NoPortSelectedError()
        : SerialError("The ComNumber property of the TApdComPort has not been set") {}
};
class PortNotOpenError : public SerialError {
  public:
    PortNotOpenError() : SerialError("ie_NOpen - device not open") {}
};
class OutputBufferTooSmallError : public SerialError {
  public:
    OutputBufferTooSmallError() : SerialError("Output buffer too small for block") {}
};
class BufferEmptyError : public SerialError {
  public:
    BufferEmptyError() : SerialError("Buffer is empty") {}
};
class BadTriggerHandleError : public SerialError {
  public:
    BadTriggerHandleError() : SerialError("Bad trigger handle") {}
};
class NoMoreTriggersError : public SerialError {
  public:
    NoMoreTriggersError() : SerialError("No more trigger slots") {}
};
// Any other failure of the device while opening (the operating system's own text follows).
class OpenFailedError : public SerialError {
  public:
    using SerialError::SerialError;
};
enum class PortState { psClosed, psShuttingDown, psOpen };
enum class Parity { pNone, pOdd, pEven, pMark, pSpace };

// Asks the operator for a device when a port with ComNumber 0 is opened (the port selection
// dialog). Answers the chosen entry's text ("COM12") on OK, nothing on any other way out.
class PortPrompt {
  public:
    virtual ~PortPrompt() = default;
    virtual std::optional<std::string> choosePort() = 0;
};

struct LineSettings;
class SerialDevice;
class SerialDeviceOpener;

// The serial port of one channel, served by the station loop: the open device, and an output
// buffer of OutSize bytes in front of it. Not thread-safe: it belongs to the loop's thread.
class ComPort {
  public:
    static constexpr std::size_t kOutSize = 42;

    ComPort();
    ~ComPort();  // closes
    ComPort(const ComPort&) = delete;
    ComPort& operator=(const ComPort&) = delete;

    // Opens COMn with the line settings (devices: the operating system's unless a stand-in is
    // given). Raises NoSuchPortError when the device does not exist, PortAlreadyOpenError when
    // another opener holds it, NoPortSelectedError for number 0, OpenFailedError on any other
    // failure; the port is then closed.
    void open(std::uint16_t number, const LineSettings& line,
              SerialDeviceOpener* devices = nullptr);
    void close();
    bool isOpen() const { return device_ != nullptr; }
    std::uint16_t number() const { return number_; }
    // The device failed while open (read or write error, the device or its other end gone): it
    // takes no more output until the port is opened again. error() says how ("COM3: device lost
    // (hang-up)").
    bool failed() const { return failed_; }
    const std::string& error() const { return error_; }

    // Whether the other end is open. A device whose other end was never seen open does not count
    // as closed: a line that tells nothing holds no output back.
    bool peerPresent() const;

    // Free bytes of the output buffer; 0 on a port that is not open, has failed, or whose other
    // end is closed (nothing is written towards a closed end).
    std::size_t outputFree() const;
    // Puts the bytes into the output buffer whole and hands what the device takes at once to it.
    // Answers false, putting nothing, when they do not fit or the port cannot take output.
    bool write(const std::uint8_t* bytes, std::size_t count);

    // The station loop's wait watches the device for input, and for room while output waits.
    void addWaits(WaitSet& set);
    // After a wait (the set that waited): hands buffered output to the device and appends every
    // byte that has arrived to `received`. Answers false when the device has failed (bytes that
    // came before the failure are still appended); a port that is not open answers true.
    bool service(const WaitSet& set, std::vector<std::uint8_t>& received);

    // Reads every byte that has arrived, without a wait before: for the moment just before a
    // timeout or a heartbeat meets the channel. Answers false when the device has failed.
    bool readNow(std::vector<std::uint8_t>& received);

    // Discards the output that has not gone out: the port's buffer and the driver's queue.
    void discardOutput();

  private:
    bool flush();
    void readAll(std::vector<std::uint8_t>& received);
    void fail(const std::string& what);

    std::unique_ptr<SerialDevice> device_;
    std::uint16_t number_ = 0;
    std::vector<std::uint8_t> out_;
    bool failed_ = false;
    std::string error_;
    mutable bool peerSeen_ = false;  // the other end has been seen open since the port opened
};

// The device that COMn names on this platform (Linux: $XDG_DATA_HOME/lan2com/dosdevices/comn when
// that link exists, else /dev/ttyS<n-1>; Windows: \\.\COMn).
std::string comDevicePath(std::uint16_t number);
// Whether the device COMn exists, found without opening it.
bool comDeviceExists(std::uint16_t number);

}  // namespace lan2com
