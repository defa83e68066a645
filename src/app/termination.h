#pragma once

#include <functional>
#include <memory>

namespace lan2com {

// Ends the program in order when the system asks it to (SIGTERM, SIGINT, SIGHUP on Linux): the
// handler runs on the main thread, from the event loop, as if the operator had confirmed the end.
// Nothing on Windows, where a service manager or the session closes the window instead.
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
