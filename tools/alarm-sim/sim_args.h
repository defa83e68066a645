#pragma once

// The command line of alarm-sim.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "sim_codec.h"

namespace alarmsim {

// A command line that cannot be run; the message says what is wrong.
class UsageError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct SendOptions {
    std::string host;  // dotted IPv4 address
    std::uint16_t port = 0;
    std::uint16_t fromPort = 0;  // 0: any free port
    EventFields fields;
    ZeroAs zero = ZeroAs::A;
    bool sequence = false;  // group and zone count up per event
    bool service = false;   // service packets instead of events
    std::size_t serviceLength = 6;
    std::uint64_t count = 1;
    double rate = 0;       // events per second at most; 0: each as soon as the last is settled
    int timeoutMs = 1000;  // wait for "OK" per event
    bool quiet = false;    // summary only
};

enum class Answer { Ack, Nak, Silent };

struct MonitorOptions {
    int comNumber = 0;  // COMn
    Answer answer = Answer::Ack;
    int delayMs = 0;          // answer this long after the line
    double seconds = 0;       // stop after this time; 0: until interrupted
    std::uint64_t lines = 0;  // stop after this many lines; 0: no limit
    bool quiet = false;       // summary only
};

struct HelpRequest {};

using Command = std::variant<SendOptions, MonitorOptions, HelpRequest>;

// Parses the arguments after the program name. UsageError for anything that cannot be run.
Command parseCommandLine(const std::vector<std::string>& args);

// The text that --help prints.
const char* usageText();

}  // namespace alarmsim
