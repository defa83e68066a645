#pragma once

// What /proc tells about a running process: CPU time, context switches of all its threads and
// resident memory. The parsers take the files' text, so that they can be checked on their own.

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>

namespace stationload {

struct ProcSample {
    double cpuSeconds = 0;  // user + system time of all threads, living and ended
    long long rssKb = 0;    // VmRSS
    // Voluntary + involuntary context switches of each living thread, by thread id.
    std::map<long, long long> switches;
    int threads() const { return static_cast<int>(switches.size()); }
};

// User + system time in clock ticks from the text of /proc/<pid>/stat (fields 14 and 15, counted
// after the command name in parentheses, which may itself hold blanks and parentheses).
std::optional<long long> parseStatCpuTicks(const std::string& stat);

// The number of a "Name:   value [kB]" line of a /proc status file.
std::optional<long long> parseStatusNumber(const std::string& status, const std::string& name);

// Reads the process now; nothing when it is gone.
std::optional<ProcSample> sampleProcess(pid_t pid);

// What happened between two samples of one process over `seconds`. The wake-ups are counted per
// thread: a thread that ended between the samples takes its switches with it (they are not
// subtracted), one that began counts all of its own.
struct ProcRates {
    double cpuPercent = 0;  // of one core
    double wakeupsPerSecond = 0;
};
ProcRates ratesBetween(const ProcSample& before, const ProcSample& after, double seconds);
long long wakeupsBetween(const ProcSample& before, const ProcSample& after);

}  // namespace stationload
