#pragma once

// What the tool knows of its pairs: one record file per pair in its state folder.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "basics.h"

namespace vcom {

struct Pair {
    int number = 0;
    pid_t pid = 0;
    unsigned long long start = 0;
    std::string a;
    std::string b;
};

std::optional<Pair> readRecord(const std::string& path, int number);
void writeRecord(const Paths& paths, const Pair& p);
// The records in the state folder, by pair number.
std::vector<Pair> readRecords(const Paths& paths);

}  // namespace vcom
