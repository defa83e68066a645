// The single-copy rule across processes: a second process is told that a copy runs while the
// first holds the lock, and gets it once the first has let it go.

#include "platform/single_instance.h"

#include <gtest/gtest.h>

#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "support/temp_dir.h"
#endif

namespace lan2com {
namespace {

TEST(SingleInstance, TheMutexAnswerThatMeansAnotherCopy) {
    struct Case {
        bool gotHandle;
        unsigned long error;
        bool another;
    } const cases[] = {
        {true, 0, false},     // a new mutex: this is the first copy
        {true, 183, true},    // ERROR_ALREADY_EXISTS: a copy of this account runs
        {false, 5, true},     // ERROR_ACCESS_DENIED: a copy of another account made it
        {false, 6, false},    // another failure (ERROR_INVALID_HANDLE) holds nobody back
        {false, 183, false},  // no handle and no access problem: nothing says a copy runs
        {true, 5, false},     // a handle was given: the stale error code means nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mutexSaysAnotherCopy(c.gotHandle, c.error), c.another)
            << c.gotHandle << " " << c.error;
    }
}

#ifdef _WIN32
std::wstring probePath() {
    wchar_t path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring self(path, n);
    return self.substr(0, self.find_last_of(L"\\/") + 1) + L"lan2com_instance_probe.exe";
}

// The probe's exit status, or -1 when it could not be run.
int runProbe(const std::string& name) {
    std::wstring command = L"\"" + probePath() + L"\" " + std::wstring(name.begin(), name.end());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, 30000);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<int>(status);
}

std::string testName() {
    return "lan2com.test-instance-" + std::to_string(GetCurrentProcessId());
}
#else
int runProbe(const std::string& name) {
    char self[PATH_MAX] = {};
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return -1;
    }
    std::string probe(self, static_cast<std::size_t>(n));
    probe = probe.substr(0, probe.rfind('/') + 1) + "lan2com_instance_probe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::execl(probe.c_str(), probe.c_str(), name.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

std::string testName() {
    return "test-instance";
}
#endif

TEST(SingleInstance, ASecondProcessIsHeldBackWhileTheFirstRuns) {
#ifndef _WIN32
    const test::DataHome home;  // the lock file lives in the data folder
#endif
    const std::string name = testName();
    EXPECT_EQ(runProbe(name), 0) << "nobody holds the lock yet";
    {
        const SingleInstance first(name);
        ASSERT_TRUE(first.acquired());
        EXPECT_EQ(runProbe(name), 1) << "the first copy holds it";
    }
    EXPECT_EQ(runProbe(name), 0) << "the first copy has ended";
}

#ifdef _WIN32
// A mutex that another account made: its default security grants this account nothing, so
// opening it is refused. One with an empty access list stands in for it.
TEST(SingleInstance, AMutexThatThisAccountMayNotOpenMeansAnotherCopy) {
    const std::string name = testName() + "-foreign";
    SECURITY_DESCRIPTOR descriptor;
    ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
    ACL acl;
    ASSERT_TRUE(InitializeAcl(&acl, sizeof acl, ACL_REVISION));
    ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, &acl, FALSE));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    const std::string full = "Global\\" + name;
    HANDLE foreign =
        CreateMutexW(&attributes, FALSE, std::wstring(full.begin(), full.end()).c_str());
    ASSERT_NE(foreign, nullptr) << GetLastError();

    SetLastError(ERROR_SUCCESS);
    HANDLE again = CreateMutexW(nullptr, FALSE, std::wstring(full.begin(), full.end()).c_str());
    const DWORD error = GetLastError();
    if (again != nullptr) {
        CloseHandle(again);
    }
    EXPECT_EQ(again, nullptr) << "the access list grants nobody the mutex";
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(runProbe(name), 1);
    CloseHandle(foreign);
    EXPECT_EQ(runProbe(name), 0);
}
#endif

}  // namespace
}  // namespace lan2com
