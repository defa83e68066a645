#pragma once

#include <string>
#include <vector>

namespace stationload {

// The source address of the flood: loopback, but not the address the channels expect.
constexpr const char* kFloodSource = "127.0.0.3";
// The numbers of the flood's events start here, far above any the transceivers send, so that a
// line of the flood on a COM port is recognised.
constexpr unsigned long long kFloodNumbers = 1ULL << 35;

// A sender from kFloodSource: 16-byte event datagrams to the given UDP ports of 127.0.0.1 in turn,
// as fast as it can, for the given seconds. Arguments: seconds, then the ports. Prints
// "flood sent=N seconds=S" at the end; answers the exit status.
int runFlood(const std::vector<std::string>& args);

// The count and the time of a flood's output line; false when there is none.
bool parseFloodReport(const std::string& text, unsigned long long& sent, double& seconds);

}  // namespace stationload
