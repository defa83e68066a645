#pragma once

namespace stationload {

struct SoakOptions {
    double minutes = 10;
    double rate = 100;  // events per second over all channels
};

// The soak test: lan2com on sixteen channels under a steady stream of unique events. Prints the
// figures as it goes and at the end; answers 0 when every event went through once and was
// answered once, lan2com held up and ended in order, and its memory did not grow.
int runSoak(const SoakOptions& options);

}  // namespace stationload
