// vcom-pair, the tool that makes virtual null-modem pairs on Linux, run as the station's
// engineer runs it, and the pairs it makes as lan2com and the monitoring software use them.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "channels/config_store.h"
#include "platform/registry_file.h"

namespace lan2com {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ToolRun {
    int status = -1;  // exit code; -1 when the tool did not exit normally
    std::string out;
    std::string err;
};

bool haveSocat() {
    return ::access("/usr/bin/socat", X_OK) == 0 || ::access("/bin/socat", X_OK) == 0 ||
           ::system("command -v socat >/dev/null 2>&1") == 0;
}

bool alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return false;
    }
    const std::size_t paren = line.rfind(')');
    return paren != std::string::npos && paren + 2 < line.size() && line[paren + 2] != 'Z';
}

class VcomPair : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!haveSocat()) {
            GTEST_SKIP() << "socat is not installed";
        }
        char tmpl[] = "/tmp/lan2com-vcom-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        home_ = tmpl;
        data_ = home_ / "lan2com";
    }

    void TearDown() override {
        if (home_.empty()) {
            return;
        }
        // Whatever a test left running ends here: first as the tool ends pairs, then by force.
        for (const pid_t pid : socatPids()) {
            if (alive(pid)) {
                ::kill(pid, SIGKILL);
            }
        }
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    std::vector<pid_t> socatPids() const {
        std::vector<pid_t> pids;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(data_ / "vcom-pair", ec)) {
            std::ifstream in(e.path());
            std::string line;
            while (std::getline(in, line)) {
                if (line.rfind("pid=", 0) == 0) {
                    pids.push_back(static_cast<pid_t>(std::stol(line.substr(4))));
                }
            }
        }
        return pids;
    }

    ToolRun tool(const std::vector<std::string>& args, const std::string& path = "") const {
        const fs::path out = home_ / "out.txt";
        const fs::path err = home_ / "err.txt";
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_DATA_HOME", home_.c_str(), 1);
            if (!path.empty()) {
                ::setenv("PATH", path.c_str(), 1);
            }
            const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(o, 1);
            ::dup2(e, 2);
            const std::string exe = std::string(LAN2COM_BUILD_DIR) + "/vcom-pair";
            std::vector<char*> argv{const_cast<char*>(exe.c_str())};
            for (const auto& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            ::execv(exe.c_str(), argv.data());
            ::_exit(126);
        }
        ToolRun r;
        int status = 0;
        ::waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = slurp(out);
        r.err = slurp(err);
        return r;
    }

    std::string registryText() const { return slurp(data_ / "registry.reg"); }
    fs::path link(const std::string& lowerName) const { return data_ / "dosdevices" / lowerName; }

    fs::path home_;
    fs::path data_;
};

// One end of a pair as a serial program opens it: raw, 8 bits, hang up on close.
int openEnd(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return fd;
    }
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfmakeraw(&t);
    t.c_cflag |= HUPCL | CLOCAL | CREAD;
    ::cfsetispeed(&t, B115200);
    ::cfsetospeed(&t, B115200);
    ::tcsetattr(fd, TCSANOW, &t);
    return fd;
}

void writeAll(int fd, const Bytes& bytes) {
    std::size_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_EQ(done, bytes.size());
}

// Reads until n bytes came or nothing more comes for the quiet time.
Bytes readBytes(int fd, std::size_t n, int quietMs = 1000) {
    Bytes got;
    while (got.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0) {
            break;
        }
        std::uint8_t buf[512];
        const ssize_t r = ::read(fd, buf, sizeof buf);
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buf, buf + r);
    }
    return got;
}

Bytes allByteValues() {
    Bytes b;
    for (int i = 0; i < 256; ++i) {
        b.push_back(static_cast<std::uint8_t>(i));
    }
    return b;
}

TEST_F(VcomPair, AddListAndRemovePairsWithTheirLinksAndDeviceMapValues) {
    ToolRun r = tool({"add", "COM10", "COM11"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("COM10 <-> COM11"), std::string::npos) << r.out;
    for (const char* name : {"com10", "com11"}) {
        ASSERT_TRUE(fs::is_symlink(link(name))) << name;
        EXPECT_EQ(fs::read_symlink(link(name)).string().rfind("/dev/pts/", 0), 0u);
        EXPECT_TRUE(fs::exists(link(name)));
    }
    EXPECT_NE(registryText().find("[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
                                  "\"\\\\Device\\\\com0com10\"=\"COM10\"\n"
                                  "\"\\\\Device\\\\com0com20\"=\"COM11\"\n"),
              std::string::npos)
        << registryText();

    r = tool({"add", "COM12", "com11"});  // a name already in use, in whatever case
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("COM11 is in use"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(link("com12")));

    r = tool({"add", "com12", "COM13"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(registryText().find("\"\\\\Device\\\\com0com11\"=\"COM12\"\n"
                                  "\"\\\\Device\\\\com0com21\"=\"COM13\"\n"),
              std::string::npos);
    r = tool({"list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("COM10 <-> COM11"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("COM12 <-> COM13"), std::string::npos) << r.out;
    const std::vector<pid_t> pids = socatPids();
    ASSERT_EQ(pids.size(), 2u);

    r = tool({"remove", "COM11"});  // by its second name
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("com10"))));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("com11"))));
    EXPECT_EQ(registryText().find("COM10"), std::string::npos);
    EXPECT_NE(registryText().find("COM12"), std::string::npos);
    EXPECT_EQ(socatPids().size(), 1u);
    r = tool({"list"});
    EXPECT_EQ(r.out.find("COM10"), std::string::npos) << r.out;

    r = tool({"remove", "COM11"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("no pair has COM11"), std::string::npos) << r.err;

    // The lowest free pair number is taken again; the values go to the end of the device map.
    r = tool({"add", "COM20", "COM21"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(registryText().find("\"\\\\Device\\\\com0com21\"=\"COM13\"\n"
                                  "\"\\\\Device\\\\com0com10\"=\"COM20\"\n"
                                  "\"\\\\Device\\\\com0com20\"=\"COM21\"\n"),
              std::string::npos)
        << registryText();

    EXPECT_EQ(tool({"remove", "COM12"}).status, 0);
    EXPECT_EQ(tool({"remove", "COM20"}).status, 0);
    EXPECT_EQ(tool({"list"}).out, "");
    for (const pid_t pid : pids) {
        EXPECT_FALSE(alive(pid)) << pid;
    }
}

TEST_F(VcomPair, LanComDiscoversThePairsTheToolMade) {
    ASSERT_EQ(tool({"add", "COM10", "COM11"}).status, 0);
    ASSERT_EQ(tool({"add", "COM3", "COM4"}).status, 0);
    ASSERT_EQ(tool({"remove", "COM10"}).status, 0);
    ASSERT_EQ(tool({"add", "COM7", "COM8"}).status, 0);  // pair 0 again, listed after pair 1

    FileRegistry registry((data_ / "registry.reg").string());
    std::array<PortPair, kSlots> vcp{};
    const PairDiscovery d = discoverPairs(registry, vcp);
    EXPECT_FALSE(d.noPairs);
    ASSERT_EQ(d.count, 2);
    // Listed by channel number, not in the device map's order.
    EXPECT_EQ(vcp[0].Pair, 1);
    EXPECT_EQ(vcp[0].ComIn, "COM7");
    EXPECT_EQ(vcp[0].ComOut, "COM8");
    EXPECT_EQ(vcp[1].Pair, 2);
    EXPECT_EQ(vcp[1].ComIn, "COM3");
    EXPECT_EQ(vcp[1].ComOut, "COM4");
    EXPECT_EQ(d.comboItems, (std::vector<ComboItem>{{"COM7", 0}, {"COM3", 1}}));
    EXPECT_TRUE(d.warnings.empty());
    EXPECT_TRUE(registry.takeNotices().empty());
    EXPECT_EQ(tool({"remove", "COM3"}).status, 0);
    EXPECT_EQ(tool({"remove", "COM8"}).status, 0);
}

TEST_F(VcomPair, EveryByteValuePassesBothWaysAndThePairSurvivesTheFarEndReopening) {
    ASSERT_EQ(tool({"add", "COM10", "COM11"}).status, 0);
    const int a = openEnd(link("com10"));  // lan2com's end stays open throughout
    ASSERT_GE(a, 0);
    // Nobody has the far end open yet: what is written must not come back as an echo.
    writeAll(a, {'1', '0', '1', '1', '\r', '\n'});
    EXPECT_TRUE(readBytes(a, 1, 300).empty());
    // The monitoring software's end, opened as it is, without setting its line: raw already.
    int b = ::open(link("com11").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(b, 0);
    EXPECT_EQ(readBytes(b, 6), (Bytes{'1', '0', '1', '1', '\r', '\n'}));

    writeAll(a, allByteValues());
    EXPECT_EQ(readBytes(b, 256), allByteValues());
    writeAll(b, allByteValues());
    EXPECT_EQ(readBytes(a, 256), allByteValues());
    EXPECT_TRUE(readBytes(a, 1, 200).empty());  // no echo of what a wrote
    EXPECT_TRUE(readBytes(b, 1, 200).empty());

    for (int round = 0; round < 3; ++round) {
        ::close(b);  // the software closes its port …
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const Bytes line = {'5', '0', '1', '1', static_cast<std::uint8_t>(round), 0x14};
        writeAll(a, line);  // … while a line is written to it
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ASSERT_TRUE(fs::exists(link("com11"))) << "the far end's link went with its close";
        b = openEnd(link("com11"));  // … and opens it again
        ASSERT_GE(b, 0) << round;
        EXPECT_EQ(readBytes(b, line.size()), line) << round;
        writeAll(b, {0x06});
        EXPECT_EQ(readBytes(a, 1), Bytes{0x06}) << round;
    }
    ::close(b);
    ::close(a);
    const ToolRun r = tool({"list"});
    EXPECT_NE(r.out.find("COM10 <-> COM11"), std::string::npos) << r.out << r.err;
    EXPECT_EQ(tool({"remove", "COM10"}).status, 0);
}

TEST_F(VcomPair, AListPrunesAPairWhoseSocatHasEnded) {
    ASSERT_EQ(tool({"add", "COM10", "COM11"}).status, 0);
    const auto pids = socatPids();
    ASSERT_EQ(pids.size(), 1u);
    ::kill(pids[0], SIGTERM);
    for (int i = 0; i < 200 && alive(pids[0]); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const ToolRun r = tool({"list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("removed COM10 <-> COM11"), std::string::npos) << r.err;
    EXPECT_EQ(registryText().find("com0com"), std::string::npos);
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("com10"))));
    EXPECT_TRUE(socatPids().empty());
    // … and the names are free again.
    EXPECT_EQ(tool({"add", "COM11", "COM10"}).status, 0);
    EXPECT_EQ(tool({"remove", "COM10"}).status, 0);
}

TEST_F(VcomPair, RefusesBadArgumentsTakenNamesAndAMissingSocat) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"add", "COM1"},
                                               {"add", "COM1", "COM1"},
                                               {"add", "COM0", "COM1"},
                                               {"add", "COM01", "COM2"},
                                               {"add", "LPT1", "COM2"},
                                               {"add", "COM1", "COM12345"},
                                               {"remove"},
                                               {"remove", "ttyS0"},
                                               {"list", "all"},
                                               {"frobnicate"}}) {
        const ToolRun r = tool(args);
        EXPECT_EQ(r.status, 2) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.err.empty());
    }
    EXPECT_FALSE(fs::exists(data_ / "registry.reg"));

    const ToolRun r = tool({"add", "COM1", "COM2"}, "/nonexistent-dir");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("socat is not installed"), std::string::npos) << r.err;

    fs::create_directories(data_ / "dosdevices");
    fs::create_symlink("/dev/ttyUSB0", link("com5"));  // a real port linked by hand
    const ToolRun taken = tool({"add", "COM6", "COM5"});
    EXPECT_EQ(taken.status, 1);
    EXPECT_NE(taken.err.find("COM5 is in use"), std::string::npos) << taken.err;
    EXPECT_TRUE(fs::is_symlink(link("com5")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link("com6"))));
    EXPECT_TRUE(socatPids().empty());
}

}  // namespace
}  // namespace lan2com
