#pragma once

// What every part of vcom-pair shares: its failures, port names and the places of its files.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/registry_file.h"

namespace vcom {

using Clock = std::chrono::steady_clock;

constexpr const char* kDeviceMap = "\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class Failure : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

std::string errnoText();
std::string lower(std::string s);
// "COM" and a number 1 … 9999 without leading zeros, in any case; answered as "COM<n>".
std::optional<std::string> portName(const std::string& arg);

struct Paths {
    std::string data = lan2com::lan2comDataDir();
    std::string devices = data + "/dosdevices";
    std::string state = data + "/vcom-pair";
    std::string registry = data + "/registry.reg";

    std::string link(const std::string& port) const { return devices + "/" + lower(port); }
    std::string record(int n) const { return state + "/pair" + std::to_string(n); }
    std::string log(int n) const { return record(n) + ".log"; }
};

// Creates a folder and the folders above it; answers whether it is there.
bool makeDirs(const std::string& dir);

}  // namespace vcom
