#pragma once

#include <string>
#include <string_view>

namespace lan2com {

// The default error report: where every failure goes that no handler catches. The program's
// report shows one modal message box per failure (see the window) and the program goes on.
class ErrorReport {
  public:
    virtual ~ErrorReport() = default;
    // message: UTF-8, as the failure gave it (the full stop is added by the report).
    virtual void report(const std::string& message) = 0;
};

// The text that the report shows: the message with a full stop appended when its last character
// has a code above that of the full stop. UTF-8 in and out.
std::string withFullStop(std::string_view message);

}  // namespace lan2com
