#include "sim_args.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

namespace alarmsim {
namespace {

bool allDigits(const std::string& s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

// A decimal integer within [low, high]; what names the value in the message.
std::uint64_t integer(const std::string& text, std::uint64_t low, std::uint64_t high,
                      const std::string& what) {
    if (!allDigits(text) || text.size() > 12) {
        throw UsageError(what + " must be a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not \"" + text + "\"");
    }
    const std::uint64_t v = std::stoull(text);
    if (v < low || v > high) {
        throw UsageError(what + " must be from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not " + text);
    }
    return v;
}

double positiveNumber(const std::string& text, const std::string& what) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !std::isfinite(v) || v <= 0 ||
        !std::isdigit(static_cast<unsigned char>(text[0]))) {
        throw UsageError(what + " must be a number above 0, not \"" + text + "\"");
    }
    return v;
}

// Hexadecimal digits of an event field, upper-cased.
std::string digits(const std::string& text, std::size_t count, const std::string& what) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    const bool hex = std::all_of(out.begin(), out.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
    });
    if (out.size() != count || !hex) {
        throw UsageError(what + " must be " + std::to_string(count) + " digit" +
                         (count > 1 ? "s" : "") + " (0-9, A-F), not \"" + text + "\"");
    }
    return out;
}

bool dottedIPv4(const std::string& text) {
    int parts = 0;
    std::size_t at = 0;
    while (true) {
        const std::size_t dot = text.find('.', at);
        const std::string part =
            text.substr(at, dot == std::string::npos ? std::string::npos : dot - at);
        if (!allDigits(part) || part.size() > 3 || std::stoi(part) > 255) {
            return false;
        }
        ++parts;
        if (dot == std::string::npos) {
            break;
        }
        at = dot + 1;
    }
    return parts == 4;
}

// The options of one command: flags, and options with a value ("--to X" or "--to=X").
class Options {
  public:
    Options(const std::vector<std::string>& args, std::size_t from, const std::string& command,
            const std::set<std::string>& flags, const std::set<std::string>& valued) {
        for (std::size_t i = from; i < args.size(); ++i) {
            std::string name = args[i];
            std::string value;
            bool hasValue = false;
            if (name.rfind("--", 0) != 0) {
                throw UsageError("unexpected argument \"" + name + "\" for " + command);
            }
            const std::size_t eq = name.find('=');
            if (eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
                hasValue = true;
            }
            if (flags.count(name) != 0) {
                if (hasValue) {
                    throw UsageError(name + " takes no value");
                }
            } else if (valued.count(name) != 0) {
                if (!hasValue) {
                    if (i + 1 >= args.size()) {
                        throw UsageError(name + " needs a value");
                    }
                    value = args[++i];
                }
            } else {
                throw UsageError("unknown option " + name + " for " + command);
            }
            if (!given_.emplace(name, value).second) {
                throw UsageError(name + " is given twice");
            }
        }
    }

    bool has(const std::string& name) const { return given_.count(name) != 0; }
    const std::string& value(const std::string& name) const { return given_.at(name); }
    const std::string& required(const std::string& name, const std::string& command) const {
        if (!has(name)) {
            throw UsageError(command + " needs " + name);
        }
        return value(name);
    }

  private:
    std::map<std::string, std::string> given_;
};

SendOptions parseSend(const std::vector<std::string>& args) {
    const Options o(
        args, 1, "send", {"--service", "--sequence", "--quiet"},
        {"--to", "--from-port", "--account", "--qualifier", "--event", "--group", "--zone",
         "--level", "--count", "--rate", "--timeout", "--service-length", "--zero"});
    SendOptions s;
    const std::string& to = o.required("--to", "send");
    const std::size_t colon = to.rfind(':');
    if (colon == std::string::npos || !dottedIPv4(to.substr(0, colon))) {
        throw UsageError("--to must be an IPv4 address and a port, as 192.168.1.10:5000, not \"" +
                         to + "\"");
    }
    s.host = to.substr(0, colon);
    s.port =
        static_cast<std::uint16_t>(integer(to.substr(colon + 1), 1, 65535, "the port of --to"));
    if (o.has("--from-port")) {
        s.fromPort =
            static_cast<std::uint16_t>(integer(o.value("--from-port"), 0, 65535, "--from-port"));
    }
    s.service = o.has("--service") || o.has("--service-length");
    if (o.has("--service-length")) {
        s.serviceLength = integer(o.value("--service-length"), 6, 14, "--service-length");
        if (s.serviceLength != 6 && s.serviceLength != 11 && s.serviceLength != 14) {
            throw UsageError("--service-length must be 6, 11 or 14");
        }
    }
    // The event fields are needed for events; with --service they may stand but are not sent.
    const auto field = [&](const char* name, std::size_t count, std::string& into) {
        if (o.has(name)) {
            into = digits(o.value(name), count, name);
        } else if (!s.service) {
            throw UsageError(std::string("send needs ") + name + " (or --service)");
        }
    };
    field("--account", 4, s.fields.account);
    field("--qualifier", 1, s.fields.qualifier);
    field("--event", 3, s.fields.event);
    field("--group", 2, s.fields.group);
    field("--zone", 3, s.fields.zone);
    if (o.has("--level")) {
        const std::string& level = o.value("--level");
        if (allDigits(level)) {
            s.fields.level = static_cast<int>(integer(level, 0, 15, "--level"));
        } else {
            s.fields.level = std::stoi(digits(level, 1, "--level"), nullptr, 16);
        }
    }
    if (o.has("--zero")) {
        const std::string& z = o.value("--zero");
        if (z == "A" || z == "a") {
            s.zero = ZeroAs::A;
        } else if (z == "0") {
            s.zero = ZeroAs::Zero;
        } else {
            throw UsageError("--zero must be A or 0, not \"" + z + "\"");
        }
    }
    s.sequence = o.has("--sequence");
    if (s.sequence && !s.service) {
        const std::string start = s.fields.group + s.fields.zone;
        if (!allDigits(start)) {
            throw UsageError("--sequence needs a decimal --group and --zone");
        }
    }
    if (o.has("--count")) {
        s.count = integer(o.value("--count"), 1, 1000000000, "--count");
    }
    if (o.has("--rate")) {
        s.rate = positiveNumber(o.value("--rate"), "--rate");
        if (s.rate > 100000) {
            throw UsageError("--rate must be at most 100000 per second");
        }
    }
    if (o.has("--timeout")) {
        s.timeoutMs = static_cast<int>(integer(o.value("--timeout"), 1, 600000, "--timeout"));
    }
    s.quiet = o.has("--quiet");
    return s;
}

MonitorOptions parseMonitor(const std::vector<std::string>& args) {
    if (args.size() < 2 || args[1].rfind("--", 0) == 0) {
        throw UsageError("monitor needs a port, as COM11");
    }
    MonitorOptions m;
    const std::string& port = args[1];
    std::string prefix = port.substr(0, 3);
    for (char& c : prefix) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (prefix != "COM" || !allDigits(port.substr(3)) || port.size() > 6) {
        throw UsageError("the port must be COM1 to COM255, not \"" + port + "\"");
    }
    m.comNumber = static_cast<int>(integer(port.substr(3), 1, 255, "the COM port number"));

    const Options o(args, 2, "monitor", {"--ack", "--nak", "--silent", "--quiet"},
                    {"--delay", "--seconds", "--lines"});
    const int modes = int(o.has("--ack")) + int(o.has("--nak")) + int(o.has("--silent"));
    if (modes > 1) {
        throw UsageError("give only one of --ack, --nak and --silent");
    }
    m.answer = o.has("--nak") ? Answer::Nak : o.has("--silent") ? Answer::Silent : Answer::Ack;
    if (o.has("--delay")) {
        if (m.answer == Answer::Silent) {
            throw UsageError("--delay does not go with --silent");
        }
        m.delayMs = static_cast<int>(integer(o.value("--delay"), 0, 600000, "--delay"));
    }
    if (o.has("--seconds")) {
        m.seconds = positiveNumber(o.value("--seconds"), "--seconds");
    }
    if (o.has("--lines")) {
        m.lines = integer(o.value("--lines"), 1, 1000000000, "--lines");
    }
    m.quiet = o.has("--quiet");
    return m;
}

}  // namespace

Command parseCommandLine(const std::vector<std::string>& args) {
    if (args.empty()) {
        throw UsageError("no command given (send or monitor)");
    }
    const std::string& command = args[0];
    if (command == "--help" || command == "-h" || command == "help") {
        return HelpRequest{};
    }
    if (command == "send") {
        return parseSend(args);
    }
    if (command == "monitor") {
        return parseMonitor(args);
    }
    throw UsageError("unknown command \"" + command + "\" (send or monitor)");
}

const char* usageText() {
    return R"(usage:
  alarm-sim send --to HOST:PORT [--from-port P] --account 1234 --qualifier 1 --event 130
                 --group 01 --zone 005 [--level 7] [--count N] [--rate R] [--service]
                 [--service-length 6|11|14] [--timeout MS] [--sequence] [--zero A|0] [--quiet]
  alarm-sim monitor COMn [--ack | --nak | --silent] [--delay MS] [--seconds S] [--lines N]
                 [--quiet]

send     sends alarm events as a radio transceiver does (16-byte datagrams of Contact ID digits)
         to a channel of lan2com and waits up to --timeout ms (default 1000) for its "OK" per
         event; prints one line per event and a summary. --service sends service packets
         instead, which are never answered. --rate caps the events per second; --sequence counts
         group and zone up by one per event; --zero tells how the digit 0 is sent (A: as the
         value 10, the default, for channels with the "A->0" conversion; 0: as the value 0).
         Exit status 0 when every event was answered (for --service: nothing was), 3 when not.
monitor  opens COMn as the monitoring software does, prints one line per received line with a
         timestamp, and answers each event and heartbeat line with ACK 0x06 (--ack, the default),
         NAK 0x15 (--nak) or nothing (--silent), after --delay ms if given. Runs until
         interrupted, for --seconds, or for --lines lines; then prints a summary.
Exit status 1 on a failure (socket, port), 2 on a bad command line.
)";
}

}  // namespace alarmsim
