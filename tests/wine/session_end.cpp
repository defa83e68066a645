// Tells a running lan2com that the Windows session ends, as Windows does at logoff or shutdown:
// WM_QUERYENDSESSION, then WM_ENDSESSION with the answer, to the program's session window. Prints
// what the program answered; exit status 0 when it let the session end, 1 when it held it back,
// 2 when no program's window was found or a message went unanswered for 10 seconds.
// scripts/wine-e2e runs it against the packed program.

#include <windows.h>

#include <cstdio>

int main() {
    const HWND window = FindWindowW(L"lan2com.session", nullptr);
    if (window == nullptr) {
        std::printf("session-end: no lan2com session window\n");
        return 2;
    }
    DWORD_PTR mayEnd = 0;
    if (SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, 10000,
                            &mayEnd) == 0) {
        std::printf("session-end: WM_QUERYENDSESSION unanswered\n");
        return 2;
    }
    std::printf("session-end: WM_QUERYENDSESSION answered %s\n", mayEnd ? "TRUE" : "FALSE");
    DWORD_PTR ignored = 0;
    if (SendMessageTimeoutW(window, WM_ENDSESSION, mayEnd ? TRUE : FALSE, ENDSESSION_LOGOFF,
                            SMTO_NORMAL, 10000, &ignored) == 0) {
        std::printf("session-end: WM_ENDSESSION unanswered\n");
        return 2;
    }
    std::printf("session-end: WM_ENDSESSION answered\n");
    return mayEnd ? 0 : 1;
}
