#include "proc_stats.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace stationload {
namespace {

std::optional<std::string> readText(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::optional<long long> parseStatCpuTicks(const std::string& stat) {
    const std::size_t paren = stat.rfind(')');
    if (paren == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream rest(stat.substr(paren + 1));
    std::string field;
    long long utime = -1;
    for (int i = 3; rest >> field; ++i) {  // field 3 is the state
        if (i == 14 || i == 15) {
            std::size_t used = 0;
            long long value = 0;
            try {
                value = std::stoll(field, &used);
            } catch (const std::exception&) {
                return std::nullopt;
            }
            if (used != field.size() || value < 0) {
                return std::nullopt;
            }
            if (i == 14) {
                utime = value;
            } else {
                return utime + value;
            }
        }
    }
    return std::nullopt;
}

std::optional<long long> parseStatusNumber(const std::string& status, const std::string& name) {
    std::istringstream lines(status);
    std::string line;
    const std::string key = name + ":";
    while (std::getline(lines, line)) {
        if (line.compare(0, key.size(), key) != 0) {
            continue;
        }
        std::istringstream value(line.substr(key.size()));
        long long number = 0;
        if (value >> number) {
            return number;
        }
        return std::nullopt;
    }
    return std::nullopt;
}

std::optional<ProcSample> sampleProcess(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid);
    const auto stat = readText(dir + "/stat");
    const auto status = readText(dir + "/status");
    if (!stat || !status) {
        return std::nullopt;
    }
    const auto ticks = parseStatCpuTicks(*stat);
    const auto rss = parseStatusNumber(*status, "VmRSS");
    if (!ticks || !rss) {
        return std::nullopt;  // a zombie has no VmRSS
    }
    ProcSample sample;
    sample.cpuSeconds = static_cast<double>(*ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
    sample.rssKb = *rss;
    DIR* tasks = opendir((dir + "/task").c_str());
    if (tasks == nullptr) {
        return std::nullopt;
    }
    while (const dirent* entry = readdir(tasks)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == "..") {
            continue;
        }
        const auto taskStatus = readText(dir + "/task/" + tid + "/status");
        if (!taskStatus) {
            continue;  // the thread ended meanwhile
        }
        sample.switches[std::atol(tid.c_str())] =
            parseStatusNumber(*taskStatus, "voluntary_ctxt_switches").value_or(0) +
            parseStatusNumber(*taskStatus, "nonvoluntary_ctxt_switches").value_or(0);
    }
    closedir(tasks);
    return sample;
}

long long wakeupsBetween(const ProcSample& before, const ProcSample& after) {
    long long wakeups = 0;
    for (const auto& [tid, count] : after.switches) {
        const auto earlier = before.switches.find(tid);
        wakeups += count - (earlier == before.switches.end() ? 0 : earlier->second);
    }
    return wakeups;
}

ProcRates ratesBetween(const ProcSample& before, const ProcSample& after, double seconds) {
    ProcRates rates;
    if (seconds <= 0) {
        return rates;
    }
    rates.cpuPercent = 100.0 * (after.cpuSeconds - before.cpuSeconds) / seconds;
    rates.wakeupsPerSecond = static_cast<double>(wakeupsBetween(before, after)) / seconds;
    return rates;
}

}  // namespace stationload
