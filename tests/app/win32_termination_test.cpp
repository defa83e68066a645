// The end of the Windows session (logoff, shutdown, restart) ends the program in order, once,
// before the program answers the message that tells it; a session end that is called off does
// nothing.

#include <windows.h>

#include <gtest/gtest.h>

#include "app/termination.h"

namespace lan2com {
namespace {

TEST(Win32SessionEnd, EndsTheProgramOnceBeforeAnsweringTheSessionEnd) {
    int requests = 0;
    {
        const TerminationRequests termination([&requests] { ++requests; });
        HWND window = FindWindowW(kSessionWindowClass, nullptr);
        ASSERT_NE(window, nullptr);
        EXPECT_EQ(SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
        EXPECT_EQ(requests, 0) << "the question alone ends nothing";
        SendMessageW(window, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF);  // called off
        EXPECT_EQ(requests, 0);
        SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
        EXPECT_EQ(requests, 1) << "handled before SendMessage returned";
        SendMessageW(window, WM_ENDSESSION, TRUE, 0);  // told again, e.g. through another window
        EXPECT_EQ(requests, 1);
    }
    EXPECT_EQ(FindWindowW(kSessionWindowClass, nullptr), nullptr) << "the window goes with it";
}

}  // namespace
}  // namespace lan2com
