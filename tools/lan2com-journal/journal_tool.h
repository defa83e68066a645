#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace lan2com {

// The whole command line of lan2com-journal after the program's name; answers the exit status:
// 0 done, 1 the journal could not be read, 2 a bad command line.
int runJournalTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

extern const char* const kJournalToolUsage;

}  // namespace lan2com
