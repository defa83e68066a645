#pragma once

// The socat processes behind the pairs: started detached, recognised by their start time, ended.

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "basics.h"

namespace vcom {

// The state letter and start time (clock ticks after boot) of a process, from /proc.
std::optional<std::pair<char, unsigned long long>> processStat(pid_t pid);
std::string processName(pid_t pid);
// The process is still the socat that was started (not a later process with the same id).
bool stillRunning(pid_t pid, unsigned long long start);
// Ends the socat that was started (SIGTERM, then SIGKILL after 3 s); any other process is left.
void stopProcess(pid_t pid, unsigned long long start);
std::optional<std::string> findSocat();
// Starts socat detached from the tool (own session; the tool's descriptors closed; stdin and
// stdout on /dev/null, stderr into the log) and answers its process id.
pid_t startSocat(const std::string& socat, const std::vector<std::string>& args,
                 const std::string& cwd, const std::string& log);

}  // namespace vcom
