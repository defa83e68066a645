// The harness itself, through the raw Win32 API: the COM links of scripts/wine-test carry bytes
// both ways, the modem shim answers the line requests, and a hung-up line fails like a device that
// has gone. When these fail, the serial port tests that build on them cannot be trusted.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wine/wine_host.h"

namespace lan2com {
namespace {

using wine::ComPeer;

class Win32Harness : public ::testing::Test {
  protected:
    void SetUp() override {
        peer_ = ComPeer::fromEnvironment();
        if (!peer_ || ComPeer::linkedPorts().empty()) {
            GTEST_SKIP() << "no COM peer (run through scripts/wine-test)";
        }
        com_ = ComPeer::linkedPorts().front();
        peer_->reset(com_);
    }

    void TearDown() override {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
        if (peer_ && com_ != 0) {
            peer_->reset(com_);
        }
    }

    HANDLE open(DWORD flags = 0) {
        const std::wstring name = L"\\\\.\\COM" + std::to_wstring(com_);
        handle_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              flags, nullptr);
        return handle_;
    }

    std::unique_ptr<ComPeer> peer_;
    std::uint16_t com_ = 0;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

TEST_F(Win32Harness, ALinkedPortCarriesBytesBothWays) {
    ASSERT_NE(open(), INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{0, 0, 2000, 0, 2000};
    ASSERT_TRUE(SetCommTimeouts(handle_, &timeouts));

    const char out[] = "\x01\x7f\x80\xff lan2com";
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(handle_, out, sizeof out - 1, &written, nullptr));
    EXPECT_EQ(written, sizeof out - 1);
    const auto seen = peer_->takeAtLeast(com_, sizeof out - 1, 3000);
    EXPECT_EQ(seen, std::vector<std::uint8_t>(out, out + sizeof out - 1));

    peer_->send(com_, {0x15, 0x06, 0x00, 0xfe});
    std::uint8_t in[4] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(handle_, in, sizeof in, &read, nullptr));
    ASSERT_EQ(read, 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(in, in + 4),
              (std::vector<std::uint8_t>{0x15, 0x06, 0x00, 0xfe}));
}

TEST_F(Win32Harness, TheModemShimKeepsLineStatesAndReceivedCharactersRaiseAnEvent) {
    ASSERT_NE(open(FILE_FLAG_OVERLAPPED), INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(handle_, SETDTR)) << GetLastError();
    ASSERT_TRUE(EscapeCommFunction(handle_, CLRRTS)) << GetLastError();
    EXPECT_EQ(peer_->lines(com_), "dtr=1 rts=0");
    ASSERT_TRUE(EscapeCommFunction(handle_, SETRTS)) << GetLastError();
    EXPECT_EQ(peer_->lines(com_), "dtr=1 rts=1");
    DWORD status = 0;
    ASSERT_TRUE(GetCommModemStatus(handle_, &status)) << GetLastError();
    EXPECT_EQ(status & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON),
              DWORD(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON));

    ASSERT_TRUE(SetCommMask(handle_, EV_RXCHAR));
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    const BOOL at_once = WaitCommEvent(handle_, &events, &overlapped);
    ASSERT_TRUE(at_once || GetLastError() == ERROR_IO_PENDING) << GetLastError();
    peer_->send(com_, {0x06});
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 3000), WAIT_OBJECT_0);
    DWORD ignored = 0;
    EXPECT_TRUE(GetOverlappedResult(handle_, &overlapped, &ignored, TRUE));
    EXPECT_TRUE(events & EV_RXCHAR);
    CloseHandle(overlapped.hEvent);
}

TEST_F(Win32Harness, AHungUpLineFailsReadsLikeADeviceThatHasGone) {
    ASSERT_NE(open(), INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{0, 0, 500, 0, 500};
    ASSERT_TRUE(SetCommTimeouts(handle_, &timeouts));
    peer_->hangup(com_);
    std::uint8_t byte = 0;
    DWORD read = 0;
    const BOOL ok = ReadFile(handle_, &byte, 1, &read, nullptr);
    EXPECT_TRUE(!ok || read == 0) << "a read on a hung-up line delivered a byte";
    const char out = 'x';
    DWORD written = 0;
    EXPECT_FALSE(WriteFile(handle_, &out, 1, &written, nullptr) && written == 1);

    // After a reset the link points at a fresh line that works again.
    CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
    peer_->reset(com_);
    ASSERT_NE(open(), INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_TRUE(WriteFile(handle_, &out, 1, &written, nullptr));
    EXPECT_EQ(peer_->takeAtLeast(com_, 1, 3000), std::vector<std::uint8_t>{'x'});
}

}  // namespace
}  // namespace lan2com
