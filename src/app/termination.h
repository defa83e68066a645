#pragma once

#include <functional>
#include <memory>

namespace lan2com {

// Ends the program in order when the system asks it to, as if the operator had confirmed the
// end; the handler runs on the main thread, from the event loop. Linux: SIGTERM, SIGINT, SIGHUP.
// Windows: the end of the session (logoff, shutdown, restart), told to a hidden top-level window
// of its own; the handler runs once, before the answer to WM_ENDSESSION returns, since Windows
// ends the process right after it.
#ifdef _WIN32
// The window class of the hidden window that hears of the session's end.
inline constexpr const wchar_t* kSessionWindowClass = L"lan2com.session";
#endif

class TerminationRequests {
  public:
    explicit TerminationRequests(std::function<void()> onRequest);
    ~TerminationRequests();
    TerminationRequests(const TerminationRequests&) = delete;
    TerminationRequests& operator=(const TerminationRequests&) = delete;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace lan2com
