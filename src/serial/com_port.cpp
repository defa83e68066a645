#include "serial/com_port.h"

#include <algorithm>

#include "serial/serial_device.h"

namespace lan2com {

ComPort::ComPort() = default;

ComPort::~ComPort() {
    close();
}

void ComPort::open(std::uint16_t number, const LineSettings& line, SerialDeviceOpener* devices) {
    close();
    if (number == 0) {
        throw NoPortSelectedError();
    }
    device_ = devices != nullptr ? devices->open(number, line) : openSerialDevice(number, line);
    number_ = number;
}

void ComPort::close() {
    device_.reset();
    peerSeen_ = false;
    out_.clear();
    failed_ = false;
    error_.clear();
}

bool ComPort::peerPresent() const {
    if (!device_) {
        return true;
    }
    const bool present = device_->peerPresent();
    peerSeen_ = peerSeen_ || present;
    return present || !peerSeen_;
}

std::size_t ComPort::outputFree() const {
    if (!device_ || failed_ || !peerPresent()) {
        return 0;
    }
    return kOutSize - std::min(out_.size(), kOutSize);
}

bool ComPort::write(const std::uint8_t* bytes, std::size_t count) {
    if (count > outputFree()) {
        return false;
    }
    out_.insert(out_.end(), bytes, bytes + count);
    flush();  // a failure here is the loop's to see from failed()
    return true;
}

bool ComPort::flush() {
    if (!device_ || failed_) {
        return false;
    }
    while (!out_.empty()) {
        const long n = device_->write(out_.data(), out_.size());
        if (n < 0) {
            fail("write failed (" + device_->error() + ")");
            return false;
        }
        if (n == 0) {
            break;  // the device takes more when the wait says it has room
        }
        out_.erase(out_.begin(), out_.begin() + n);
    }
    return true;
}

void ComPort::fail(const std::string& what) {
    if (!failed_) {
        failed_ = true;
        error_ = "COM" + std::to_string(number_) + ": " + what;
        out_.clear();
    }
}

void ComPort::addWaits(WaitSet& set) {
    if (device_ && !failed_) {
        device_->addWaits(set, !out_.empty());
    }
}

void ComPort::readAll(std::vector<std::uint8_t>& received) {
    std::uint8_t buffer[256];
    while (!failed_) {
        const long n = device_->read(buffer, sizeof buffer);
        if (n < 0) {
            fail("device lost (" + device_->error() + ")");
            break;
        }
        received.insert(received.end(), buffer, buffer + n);
        if (static_cast<std::size_t>(n) < sizeof buffer) {
            break;  // a short read took all there was
        }
    }
}

bool ComPort::service(const WaitSet& set, std::vector<std::uint8_t>& received) {
    if (!device_) {
        return true;
    }
    if (failed_) {
        return false;
    }
    const SerialDevice::Ready ready = device_->check(set);
    if (ready.readable || ready.failed) {
        readAll(received);
    }
    if (!failed_ && ready.failed) {
        fail("device lost (" + ready.error + ")");
    }
    flush();
    return !failed_;
}

bool ComPort::readNow(std::vector<std::uint8_t>& received) {
    if (!device_) {
        return true;
    }
    if (!failed_) {
        readAll(received);
    }
    return !failed_;
}

void ComPort::discardOutput() {
    out_.clear();
    if (device_ && !failed_) {
        device_->discardOutput();
    }
}

}  // namespace lan2com
