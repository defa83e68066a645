// The tick clock on Windows: the multimedia timer behind the serial ports' timer triggers.

#include <windows.h>
// mmsystem.h needs the types of windows.h.
#include <mmsystem.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "platform/tick_clock.h"
#include "wine/wine_host.h"

namespace lan2com {
namespace {

TEST(Win32TickClock, FollowsTheMultimediaTimerAndAdvancesWithRealTime) {
    const MsClock& clock = systemMsClock();
    const std::uint32_t mm0 = timeGetTime();
    const std::uint32_t ours0 = clock.nowMs();
    // The same counter: read back to back they differ by a few milliseconds at most (unsigned
    // difference, so that a wrap of the 32-bit count between the reads does no harm).
    EXPECT_LE(static_cast<std::uint32_t>(ours0 - mm0), 5u);

    Sleep(200);
    const std::uint32_t elapsed = clock.nowMs() - ours0;
    EXPECT_GE(elapsed, 190u);
    EXPECT_LT(elapsed, 2000u);
    EXPECT_GE(toTicks(ours0 + elapsed) - toTicks(ours0), 3u);  // 200 ms hold at least 3 whole ticks
}

TEST(Win32TickClock, ClockResolutionRaisesTheTimerToMillisecondSteps) {
    TIMECAPS caps{};
    ASSERT_EQ(timeGetDevCaps(&caps, sizeof caps), MMSYSERR_NOERROR);
    EXPECT_GE(caps.wPeriodMin, 1u);
    {
        ClockResolution resolution;
        // The smallest step between distinct readings: about 1 ms with the finest period, where
        // the coarse 15.6 ms system tick would show steps of 15 or 16 ms.
        const MsClock& clock = systemMsClock();
        std::uint32_t smallest = UINT32_MAX;
        std::uint32_t last = clock.nowMs();
        const std::uint32_t start = last;
        while (clock.nowMs() - start < 300 && smallest > 1) {
            const std::uint32_t now = clock.nowMs();
            if (now != last) {
                smallest = std::min(smallest, now - last);
                last = now;
            }
        }
        EXPECT_LE(smallest, std::max<std::uint32_t>(2u, caps.wPeriodMin));
        EXPECT_EQ(resolution.period(), caps.wPeriodMin);
        // The opt-out from throttling while minimised: every Windows that Qt 6 runs on knows it;
        // Wine may not, and then the program runs on without it.
        if (!wine::runningUnderWine()) {
            EXPECT_TRUE(resolution.keptWhenHidden());
        }
        RecordProperty("kept_when_hidden", resolution.keptWhenHidden() ? "yes" : "no");
    }
}

}  // namespace
}  // namespace lan2com
