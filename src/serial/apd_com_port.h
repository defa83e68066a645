#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/convert.h"
#include "platform/error_report.h"
#include "platform/handover.h"
#include "platform/tick_clock.h"

namespace lan2com {

// ---- Errors of the serial port; every one carries its fixed message. ----

class EAPDException : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
class EBadId : public EAPDException {
  public:
    EBadId() : EAPDException("ie_BadId - Specified comport doesn't exist") {}
};
class EAlreadyOpen : public EAPDException {
  public:
    EAlreadyOpen() : EAPDException("ie_Open - device already open") {}
};
class ENoPortSelected : public EAPDException {
  public:
    ENoPortSelected()
        : EAPDException("The ComNumber property of the TApdComPort has not been set") {}
};
class ECommNotOpen : public EAPDException {
  public:
    ECommNotOpen() : EAPDException("ie_NOpen - device not open") {}
};
class EOutputBufferTooSmall : public EAPDException {
  public:
    EOutputBufferTooSmall() : EAPDException("Output buffer too small for block") {}
};
class EBufferIsEmpty : public EAPDException {
  public:
    EBufferIsEmpty() : EAPDException("Buffer is empty") {}
};
class EBadTriggerHandle : public EAPDException {
  public:
    EBadTriggerHandle() : EAPDException("Bad trigger handle") {}
};
class ENoMoreTriggers : public EAPDException {
  public:
    ENoMoreTriggers() : EAPDException("No more trigger slots") {}
};
// Any other failure of the device while opening (the operating system's own text follows).
class EOpenFailed : public EAPDException {
  public:
    using EAPDException::EAPDException;
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

class SerialDeviceOpener;  // serial/serial_device.h

// What a port needs from outside. The references must outlive the port.
struct SerialServices {
    Handover& handover;            // events reach the main thread through it
    ErrorReport& errors;           // failures escaping an event handler are reported there
    const MsClock& clock;          // the tick clock of the timer triggers
    PortPrompt* prompt = nullptr;  // shown on opening with ComNumber 0; none: ENoPortSelected
    // Opens the devices; none: the operating system's serial devices. Tests put stand-ins here.
    SerialDeviceOpener* devices = nullptr;
};

// The serial port component of one channel (com1 … com16).
//
// Every operation is called on the main thread; every event runs on the main thread, one at a
// time. The port's own thread waits on the device and on the nearest trigger deadline, so an idle
// open port wakes no thread.
class TApdComPort {
  public:
    TApdComPort(SerialServices services, std::uint16_t tag);
    ~TApdComPort();  // closes an open port
    TApdComPort(const TApdComPort&) = delete;
    TApdComPort& operator=(const TApdComPort&) = delete;

    // ---- Settings; changed only while the port is closed. ----
    std::uint16_t Tag;  // the port's number among the sixteen (1 … 16)
    std::int32_t Baud = 115200;
    std::uint16_t DataBits = 8;
    Parity parity = Parity::pNone;
    std::uint16_t StopBits = 1;
    std::uint16_t InSize = 42;   // receive queue asked of the driver
    std::uint16_t OutSize = 42;  // the port's own output buffer, and the driver's transmit queue
    bool AutoOpen = false;
    bool PromptForPort = true;
    bool DTR = true;
    bool RTS = true;
    bool RS485Mode = false;
    std::uint16_t TriggerLength = 1;

    std::uint16_t ComNumber() const;
    // Stores the number on a closed port; on an open one closes it and opens it on the new number,
    // keeping the trigger set. Setting the current number does nothing.
    void SetComNumber(std::uint16_t number);

    bool Open() const;
    // true opens the device (an open that fails raises its error and leaves the port closed);
    // false closes it. Writing the value that Open already has does nothing.
    void SetOpen(bool open);
    PortState State() const;

    // ---- Byte operations ----
    void PutChar(std::uint8_t byte);  // never waits; EOutputBufferTooSmall when the buffer is full
    std::uint8_t GetChar();           // oldest unread byte; inside OnTriggerAvail: see there
    std::uint16_t OutBuffFree() const;  // OutSize on a port that is not open
    // Received bytes that GetChar has yet to return (inside OnTriggerAvail: of those it counts);
    // 0 on a port that is not open.
    std::size_t UnreadCount() const;

    // ---- Triggers ----
    std::uint16_t AddTimerTrigger();
    void SetTimerTrigger(std::uint16_t handle, std::int32_t ticks, bool activate);

    // ---- Events ----
    std::function<void(TApdComPort& port)> OnPortOpen;
    std::function<void(TApdComPort& port, std::uint16_t count)> OnTriggerAvail;
    std::function<void(TApdComPort& port, std::uint16_t handle)> OnTriggerTimer;
    // The device failed while the port was open (read or write error, the device or its other end
    // gone). Delivered once per open on the main thread with the error's text; afterwards the
    // timer triggers still expire and PutChar fails with ECommNotOpen until the port is closed.
    std::function<void(TApdComPort& port, const std::string& message)> OnPortError;

  private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The device that COMn names on this platform (Linux: $XDG_DATA_HOME/lan2com/dosdevices/comn when
// that link exists, else /dev/ttyS<n-1>; Windows: \\.\COMn).
std::string comDevicePath(std::uint16_t number);
// Whether the device COMn exists, found without opening it.
bool comDeviceExists(std::uint16_t number);

}  // namespace lan2com
