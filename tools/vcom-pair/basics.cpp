#include "basics.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vcom {

std::string errnoText() {
    return std::strerror(errno);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    });
    return s;
}

// "COM" and a number 1 … 9999 without leading zeros, in any case; answered as "COM<n>".
std::optional<std::string> portName(const std::string& arg) {
    if (arg.size() < 4 || arg.size() > 7 || lower(arg.substr(0, 3)) != "com" || arg[3] == '0') {
        return std::nullopt;
    }
    for (std::size_t i = 3; i < arg.size(); ++i) {
        if (arg[i] < '0' || arg[i] > '9') {
            return std::nullopt;
        }
    }
    return "COM" + arg.substr(3);
}

bool makeDirs(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    const std::size_t slash = dir.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeDirs(dir.substr(0, slash))) {
        return false;
    }
    return ::mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

}  // namespace vcom
