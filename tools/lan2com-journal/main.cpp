#include <iostream>
#include <string>
#include <vector>

#include "journal_tool.h"

#ifdef _WIN32
#include <windows.h>
// windows.h first
#include <shellapi.h>

#include <filesystem>
#endif

namespace {

// The arguments in UTF-8, as the journal takes its paths. On Windows they come from the wide
// command line: argv has them in the ANSI code page, where a folder's name may not be written.
std::vector<std::string> arguments(int argc, char** argv) {
#ifdef _WIN32
    int count = 0;
    if (LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
        std::vector<std::string> args;
        for (int i = 1; i < count; ++i) {
            args.push_back(std::filesystem::path(wide[i]).u8string());
        }
        LocalFree(wide);
        return args;
    }
#endif
    return {argv + 1, argv + argc};
}

}  // namespace

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    return lan2com::runJournalTool(arguments(argc, argv), std::cout, std::cerr);
}
