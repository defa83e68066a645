#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/reg_text.h"
#include "platform/registry_file.h"
#include "support/registry_failure.h"

namespace lan2com {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spit(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

class RegistryFile : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lan2com-regfile-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        file_ = root_ / "lan2com" / "registry.reg";
    }
    void TearDown() override {
        std::error_code ignored;
        fs::permissions(root_ / "lan2com", fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(root_, ignored);
    }

    std::vector<fs::path> leftovers(const std::string& prefix) const {
        std::vector<fs::path> out;
        for (const auto& e : fs::directory_iterator(file_.parent_path())) {
            if (e.path().filename().string().rfind(prefix, 0) == 0) {
                out.push_back(e.path());
            }
        }
        return out;
    }

    fs::path root_;
    fs::path file_;
};

TEST_F(RegistryFile, EveryChangeRewritesTheWholeFileInRegeditForm) {
    FileRegistry r(file_.string());
    EXPECT_FALSE(r.openKey("\\HARDWARE"));
    EXPECT_FALSE(fs::exists(file_));  // reading creates nothing
    r.createKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM");
    ASSERT_TRUE(r.openKey("\\HARDWARE\\DEVICEMAP\\SERIALCOMM"));
    r.writeString("\\Device\\com0com10", "COM10");
    r.writeInteger("Порт", 10);
    EXPECT_EQ(slurp(file_),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE]\n\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP]\n\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
              "\"\\\\Device\\\\com0com10\"=\"COM10\"\n"
              "\"Порт\"=dword:0000000a\n\n");
    EXPECT_TRUE(leftovers(".registry.reg.").empty());  // no temporary file stays behind
    EXPECT_TRUE(r.takeNotices().empty());
}

TEST_F(RegistryFile, EveryOperationSeesWhatOthersWroteMeanwhile) {
    FileRegistry mine(file_.string());
    FileRegistry theirs(file_.string());
    mine.createKey("\\K");
    ASSERT_TRUE(mine.openKey("\\K"));
    ASSERT_TRUE(theirs.openKey("\\K"));
    theirs.writeString("a", "1");
    EXPECT_EQ(mine.readString("a"), "1");
    mine.writeString("b", "2");
    EXPECT_EQ(theirs.valueNames(), (Names{"a", "b"}));
    // Changed by hand meanwhile: the next operation reads the new text.
    spit(file_, "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"c\"=\"3\"\n");
    EXPECT_EQ(mine.valueNames(), Names{"c"});
    EXPECT_TRUE(theirs.deleteKey("\\K"));
    EXPECT_EQ(test::registryFailureOf([&] { mine.writeString("d", "4"); }),
              "Failed to set data for 'd'");
    EXPECT_EQ(test::registryFailureOf([&] { mine.readInteger("c"); }),
              "Failed to get data for 'c'");
}

TEST_F(RegistryFile, ACorruptFileIsMovedAsideReportedAndNeverOverwritten) {
    const std::string bad =
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vesko\\Device\\ComIP]\n"
        "\"AddrIP\"=\"192.168.0.1\"\n"
        "\"Port\"=dword:1234567890\n"
        "\"x\"=\"\xD0\x96\"\n";
    spit(file_, bad);
    FileRegistry r(file_.string());
    EXPECT_FALSE(r.openKey("\\SOFTWARE\\Vesko\\Device\\ComIP"));  // the store reads as empty
    EXPECT_FALSE(fs::exists(file_));
    const auto moved = leftovers("registry.reg.bad-");
    ASSERT_EQ(moved.size(), 1u);
    const std::string name = moved[0].filename().string();
    EXPECT_EQ(name.size(), std::string("registry.reg.bad-20260101-120000").size()) << name;
    EXPECT_EQ(slurp(moved[0]), bad);  // every byte kept

    const auto notices = r.takeNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(file_.string()), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("строка 5"), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find(moved[0].string()), std::string::npos) << notices[0];
    EXPECT_TRUE(r.takeNotices().empty());  // handed out once

    // The store starts afresh; the moved file stays as it was.
    r.createKey("\\SOFTWARE");
    EXPECT_TRUE(r.openKey("\\SOFTWARE"));
    EXPECT_EQ(slurp(moved[0]), bad);

    // A second corrupt file in the same second gets a name of its own.
    spit(file_, "garbage\n");
    FileRegistry other(file_.string());
    other.createKey("\\NEW");  // a writer that meets a corrupt file moves it aside too
    EXPECT_EQ(leftovers("registry.reg.bad-").size(), 2u);
    EXPECT_TRUE(other.openKey("\\NEW"));
    EXPECT_FALSE(other.openKey("\\SOFTWARE"));
    EXPECT_EQ(other.takeNotices().size(), 1u);
}

TEST_F(RegistryFile, AWriteRemovesWhatInterruptedWritesLeftAndNeverLocksThroughALink) {
    // Two writes that were ended between their temporary file and its rename, and files that
    // only look alike.
    spit(file_.parent_path() / ".registry.reg.Ab12Z9", "Windows Registry Editor Version 5.00\n");
    spit(file_.parent_path() / ".registry.reg.x7Qk0P", std::string(4096, ' '));
    spit(file_.parent_path() / ".registry.reg.notes", "mine");
    spit(file_.parent_path() / ".registry.reg.a-b_c.", "mine");
    FileRegistry r(file_.string());
    r.createKey("\\K");
    std::vector<std::string> left;
    for (const fs::path& p : leftovers(".registry.reg.")) {
        left.push_back(p.filename().string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (Names{".registry.reg.a-b_c.", ".registry.reg.notes"}));

    // A link planted where the lock file goes: nothing is created or locked through it, and the
    // write fails instead.
    const std::string lock = file_.string() + ".lock";
    fs::remove(lock);
    fs::create_symlink(root_ / "elsewhere", lock);
    EXPECT_EQ(test::registryFailureOf([&] { r.createKey("\\L"); }), "Failed to create key \\L");
    EXPECT_FALSE(fs::exists(root_ / "elsewhere"));
    EXPECT_FALSE(r.openKey("\\L"));
    EXPECT_TRUE(r.openKey("\\K"));
}

TEST_F(RegistryFile, AnUnwritableFileOrFolderFailsWithTheOperationsMessage) {
    FileRegistry r(file_.string());
    r.createKey("\\K");
    ASSERT_TRUE(r.openKey("\\K"));
    r.writeInteger("v", 1);
    const std::string before = slurp(file_);
    ASSERT_EQ(::chmod(file_.c_str(), 0444), 0);
    EXPECT_EQ(test::registryFailureOf([&] { r.writeInteger("v", 2); }),
              "Failed to set data for 'v'");
    EXPECT_EQ(test::registryFailureOf([&] { r.writeString("w", "x"); }),
              "Failed to set data for 'w'");
    EXPECT_EQ(test::registryFailureOf([&] { r.createKey("\\K\\Sub"); }),
              "Failed to create key \\K\\Sub");
    EXPECT_FALSE(r.deleteKey("\\K"));
    EXPECT_FALSE(r.deleteValue("v"));
    EXPECT_EQ(r.readInteger("v"), 1);
    EXPECT_EQ(slurp(file_), before);
    r.createKey("\\K");  // nothing to change: no failure
    EXPECT_EQ(test::registryFailureOf([&] { r.batch([&] { r.writeInteger("v", 3); }); }),
              "Failed to set data for 'v'");
    EXPECT_EQ(slurp(file_), before);

    // A folder that cannot be made: its place is taken by a file.
    spit(root_ / "blocked", "not a folder");
    FileRegistry nowhere((root_ / "blocked" / "lan2com" / "registry.reg").string());
    EXPECT_EQ(test::registryFailureOf([&] { nowhere.createKey("\\K"); }),
              "Failed to create key \\K");
    EXPECT_FALSE(nowhere.openKey("\\K"));

    if (::geteuid() != 0) {  // permissions bind everybody but root
        ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
        ASSERT_EQ(::chmod(file_.parent_path().c_str(), 0555), 0);
        EXPECT_EQ(test::registryFailureOf([&] { r.writeInteger("v", 4); }),
                  "Failed to set data for 'v'");
        EXPECT_EQ(slurp(file_), before);
    }
}

TEST_F(RegistryFile, AWriterThatCannotGetTheLockFailsWithItsOwnMessage) {
    FileRegistry r(file_.string(), std::chrono::milliseconds(150));
    r.createKey("\\K");
    ASSERT_TRUE(r.openKey("\\K"));
    r.writeInteger("v", 1);

    const int fd = ::open((file_.string() + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);  // another writer that does not let go
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(test::registryFailureOf([&] { r.writeInteger("v", 2); }),
              "Failed to set data for 'v'");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(test::registryFailureOf([&] { r.batch([&] { r.createKey("\\K\\B"); }); }),
              "Failed to create key \\K\\B");
    EXPECT_EQ(r.readInteger("v"), 1);  // readers need no lock
    ::flock(fd, LOCK_UN);
    ::close(fd);
    r.writeInteger("v", 2);
    EXPECT_EQ(r.readInteger("v"), 2);
}

TEST_F(RegistryFile, ABatchWritesOnceAndAFailureInsideChangesNothing) {
    FileRegistry r(file_.string());
    r.createKey("\\K");
    const std::string before = slurp(file_);
    EXPECT_THROW(r.batch([&] {
        r.createKey("\\K\\A");
        ASSERT_TRUE(r.openKey("\\K\\A"));
        r.writeString("x", "y");
        EXPECT_EQ(r.readString("x"), "y");  // the batch sees its own changes
        r.readInteger("missing");
    }),
                 RegistryError);
    EXPECT_EQ(slurp(file_), before);
    EXPECT_FALSE(r.openKey("\\K\\A"));

    struct stat st {};
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    const ino_t inode = st.st_ino;
    r.batch([&] {
        ASSERT_TRUE(r.openKey("\\K"));
        for (int i = 0; i < 20; ++i) {
            r.writeInteger("v" + std::to_string(i), i);
            // Nobody sees the batch before it ends.
            ASSERT_EQ(::stat(file_.c_str(), &st), 0);
            EXPECT_EQ(st.st_ino, inode);
        }
    });
    ASSERT_EQ(::stat(file_.c_str(), &st), 0);
    EXPECT_NE(st.st_ino, inode);
    FileRegistry other(file_.string());
    ASSERT_TRUE(other.openKey("\\K"));
    EXPECT_EQ(other.valueNames().size(), 20u);
}

TEST_F(RegistryFile, TwoProcessesWritingAtOnceLoseNothingAndTheFileStaysWhole) {
    {
        FileRegistry r(file_.string());
        r.createKey("\\Counter");
        ASSERT_TRUE(r.openKey("\\Counter"));
        r.writeInteger("n", 0);
    }
    constexpr int kRounds = 60;
    std::vector<pid_t> children;
    for (int who = 0; who < 2; ++who) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int status = 0;
            try {
                FileRegistry r(file_.string(), std::chrono::seconds(30));
                for (int i = 0; i < kRounds; ++i) {
                    r.batch([&] {  // read-modify-write under one lock
                        if (!r.openKey("\\Counter")) {
                            throw RegistryError("lost the key");
                        }
                        r.writeInteger("n", r.readInteger("n") + 1);
                    });
                    // and a plain write of a value of its own
                    r.writeString("p" + std::to_string(who) + "-" + std::to_string(i), "x");
                }
            } catch (const RegistryError&) {
                status = 2;
            }
            ::_exit(status);
        }
        children.push_back(pid);
    }
    // Meanwhile every read of the file finds a whole file.
    int reads = 0;
    int running = 2;
    while (running > 0) {
        const std::string text = slurp(file_);
        EXPECT_NO_THROW(parseRegText(text)) << text;
        ++reads;
        running = 0;
        for (pid_t& pid : children) {
            if (pid <= 0) {
                continue;
            }
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
                pid = -1;
            } else {
                ++running;
            }
        }
    }
    EXPECT_GT(reads, 0);
    FileRegistry r(file_.string());
    ASSERT_TRUE(r.openKey("\\Counter"));
    EXPECT_EQ(r.readInteger("n"), 2 * kRounds);
    EXPECT_EQ(r.valueNames().size(), 1u + 2 * kRounds);
    EXPECT_TRUE(r.takeNotices().empty());
    EXPECT_TRUE(leftovers(".registry.reg.").empty());
}

TEST_F(RegistryFile, TheSystemRegistryLivesUnderXdgDataHome) {
    const char* oldXdg = std::getenv("XDG_DATA_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::string savedXdg = oldXdg ? oldXdg : "";
    const std::string savedHome = oldHome ? oldHome : "";

    ::setenv("XDG_DATA_HOME", root_.c_str(), 1);
    EXPECT_EQ(defaultRegistryPath(), file_.string());
    auto reg = openSystemRegistry();
    reg->createKey("\\HARDWARE");
    EXPECT_TRUE(fs::exists(file_));

    ::setenv("XDG_DATA_HOME", "relative/path", 1);  // not absolute: ignored
    ::setenv("HOME", "/home/someone/", 1);
    EXPECT_EQ(defaultRegistryPath(), "/home/someone/.local/share/lan2com/registry.reg");
    ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(lan2comDataDir(), "/home/someone/.local/share/lan2com");

    if (oldXdg) {
        ::setenv("XDG_DATA_HOME", savedXdg.c_str(), 1);
    }
    if (oldHome) {
        ::setenv("HOME", savedHome.c_str(), 1);
    } else {
        ::unsetenv("HOME");
    }
}

}  // namespace
}  // namespace lan2com
