#pragma once

namespace stationload {

// The benchmark: lan2com against the floor relay on the same sixteen pairs. `seconds` is the
// length of each measurement. Prints the figures; answers 0 unless something broke.
int runBench(int seconds);

}  // namespace stationload
