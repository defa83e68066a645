#include <gtest/gtest.h>

#include <string>

#include "app/heartbeat_period.h"

namespace lan2com {
namespace {

TEST(HeartbeatPeriod, TheOverrideIsTakenOnlyInRangeAndAlwaysSaidInTheLog) {
    constexpr int kDefaultMs = static_cast<int>(kHeartbeatPeriodMs);
    struct Row {
        const char* value;
        int ms;
        const char* logged;  // a piece of the log line; nullptr: no line
    };
    const Row rows[] = {
        {nullptr, kDefaultMs, nullptr},
        {"100", 100, "LAN2COM_HEARTBEAT_MS: 100 мс (обычный период 29000 мс)"},
        {"3600000", 3600000, "LAN2COM_HEARTBEAT_MS: 3600000 мс"},
        {"99", kDefaultMs, "LAN2COM_HEARTBEAT_MS=\"99\" не принято"},
        {"3600001", kDefaultMs, "не принято"},
        {"1500ms", kDefaultMs, "\"1500ms\" не принято"},
        {"", kDefaultMs, "не принято"},
    };
    for (const Row& row : rows) {
        const HeartbeatPeriod period = heartbeatPeriodFrom(row.value);
        const std::string name = row.value != nullptr ? row.value : "(not set)";
        EXPECT_EQ(period.ms, row.ms) << name;
        if (row.logged == nullptr) {
            EXPECT_TRUE(period.logText.empty()) << name;
        } else {
            EXPECT_NE(period.logText.find(row.logged), std::string::npos) << period.logText;
        }
    }
}

}  // namespace
}  // namespace lan2com
