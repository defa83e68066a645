#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "journal/journal_query.h"
#include "journal/journal_row.h"

namespace lan2com {
namespace {

TEST(JournalText, UtcTimesReadBackAsWritten) {
    struct Case {
        const char* text;
        std::int64_t ms;
    };
    const Case cases[] = {
        {"1970-01-01 00:00:00.000", 0},
        {"2026-12-09 11:51:14.783", 1796817074783},
        {"2000-02-29 23:59:59.999", 951868799999},
        {"1969-12-31 23:59:59.999", -1},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatUtcMs(c.ms), c.text);
        std::int64_t back = 0;
        ASSERT_TRUE(parseUtcMs(c.text, &back)) << c.text;
        EXPECT_EQ(back, c.ms) << c.text;
    }
}

TEST(JournalText, ShorterTimesAndWrongOnes) {
    struct Case {
        const char* text;
        bool ok;
        std::int64_t ms;
    };
    const Case cases[] = {
        {"2026-12-09", true, 1796774400000},
        {"2026-12-09T11:51", true, 1796817060000},
        {"2026-12-09 11:51:14Z", true, 1796817074000},
        {"2026-12-09T11:51:14.783Z", true, 1796817074783},
        {"2026-12-9", false, 0},
        {"2026-13-01", false, 0},
        {"2026-12-09 24:00", false, 0},
        {"2026-12-09 11:51:14.78", false, 0},
        {"2026-12-09 11:51 ", false, 0},
        {"yesterday", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t ms = 0;
        EXPECT_EQ(parseUtcMs(c.text, &ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
        }
    }
}

TEST(JournalText, LineBytesAccountsAndCsvFields) {
    const std::uint8_t line[] = {'5', '0', '1', '1', ' ', '\\', 0x14, 0x00, 0xFF};
    EXPECT_EQ(printableBytes(line, sizeof line), "5011 \\\\\\x14\\x00\\xFF");
    EXPECT_EQ(accountOf("12A4781130010015"), "1204");
    EXPECT_EQ(accountOf("123"), "");
    EXPECT_EQ(csvField("plain"), "plain");
    EXPECT_EQ(csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(csvField("say \"OK\""), "\"say \"\"OK\"\"\"");
    EXPECT_EQ(csvField("old\nnew"), "\"old\nnew\"");
}

TEST(JournalText, PercentilesByNearestRank) {
    std::vector<std::int64_t> none;
    EXPECT_FALSE(percentile(none, 0.5));
    std::vector<std::int64_t> one{7};
    EXPECT_EQ(percentile(one, 0.99), 7);
    std::vector<std::int64_t> values;
    for (int i = 100; i >= 1; --i) {
        values.push_back(i);
    }
    EXPECT_EQ(percentile(values, 0.5), 50);
    EXPECT_EQ(percentile(values, 0.99), 99);
    EXPECT_EQ(percentile(values, 1.0), 100);
    std::vector<std::int64_t> four{40, 10, 30, 20};
    EXPECT_EQ(percentile(four, 0.5), 20);
}

}  // namespace
}  // namespace lan2com
