#pragma once

// The station that a load runs against: a private XDG_DATA_HOME with sixteen vcom-pair pairs and a
// registry of sixteen channels, and the processes started on it (lan2com, the floor relay).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace stationload {

// One channel as the registry stores it and as the load reaches it.
struct ChannelSetup {
    int channel = 0;            // 1 to 16: the number in its receiver lines
    std::uint16_t udpPort = 0;  // where its transceiver sends
    int comIn = 0;              // the relay's end of the pair
    int comOut = 0;             // the monitoring software's end
    std::string comInPath;      // <home>/lan2com/dosdevices/com<comIn>
    std::string comOutPath;
};

// The folder of this tool's own executable: the build folder of lan2com and vcom-pair.
std::string programFolder();
// A program of that folder, or of the given one; raises std::runtime_error when it is missing.
std::string siblingProgram(const std::string& name, const std::string& folder = programFolder());

class StationHome {
  public:
    // Makes the folder, the pairs (through the vcom-pair of `programs`) and the registry of
    // `channels` channels; raises std::runtime_error with what went wrong.
    explicit StationHome(int channels, const std::string& programs = programFolder());
    // Ends the pairs and removes the folder.
    ~StationHome();
    StationHome(const StationHome&) = delete;
    StationHome& operator=(const StationHome&) = delete;

    const std::string& root() const { return root_; }
    const std::vector<ChannelSetup>& channels() const { return channels_; }

  private:
    void writeRegistry() const;
    void cleanup();

    std::string root_;
    std::string vcomPair_;
    std::vector<ChannelSetup> channels_;
    std::vector<int> pairsMade_;  // ComIn numbers, for the removal
};

// A child process with its output in a log file. Started in a process group of its own, so that
// Ctrl-C on the terminal reaches this tool only, which then ends the child in order.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                 const std::string& logPath);
    // Kills the child if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    const std::string& logPath() const { return logPath_; }
    // False once it has ended; then exitText() says how.
    bool running();
    std::string exitText() const;
    // SIGTERM, then waits; SIGKILL after the grace time. Answers whether it ended by itself with
    // status 0 within the grace time.
    bool terminate(std::chrono::milliseconds grace);
    // The last lines of the log.
    std::string logTail(int lines) const;

  private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool ended_ = false;
    std::string logPath_;
};

}  // namespace stationload
