#include "pair_records.h"

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace vcom {

std::optional<Pair> readRecord(const std::string& path, int number) {
    std::ifstream in(path);
    Pair p;
    p.number = number;
    std::string line;
    while (std::getline(in, line)) {
        const std::size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, eq);
        const std::string value = line.substr(eq + 1);
        try {
            if (key == "pid") {
                p.pid = static_cast<pid_t>(std::stol(value));
            } else if (key == "start") {
                p.start = std::stoull(value);
            } else if (key == "a") {
                p.a = value;
            } else if (key == "b") {
                p.b = value;
            }
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }
    if (p.pid <= 0 || p.a.empty() || p.b.empty()) {
        return std::nullopt;
    }
    return p;
}

void writeRecord(const Paths& paths, const Pair& p) {
    const std::string path = paths.record(p.number);
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << "pid=" << p.pid << "\nstart=" << p.start << "\na=" << p.a << "\nb=" << p.b << "\n";
        if (!out.flush()) {
            throw Failure("cannot write " + tmp);
        }
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        throw Failure("cannot write " + path + ": " + errnoText());
    }
}

// The records in the state folder, by pair number.
std::vector<Pair> readRecords(const Paths& paths) {
    std::vector<Pair> pairs;
    DIR* dir = ::opendir(paths.state.c_str());
    if (dir == nullptr) {
        return pairs;
    }
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.size() < 5 || name.compare(0, 4, "pair") != 0 ||
            name.find_first_not_of("0123456789", 4) != std::string::npos) {
            continue;
        }
        const int number = std::stoi(name.substr(4));
        if (auto p = readRecord(paths.state + "/" + name, number)) {
            pairs.push_back(*p);
        }
    }
    ::closedir(dir);
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& x, const Pair& y) { return x.number < y.number; });
    return pairs;
}

}  // namespace vcom
