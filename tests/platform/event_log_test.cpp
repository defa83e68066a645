// Entries of the event log: their text, and (Windows) that the system takes them.

#include "platform/event_log.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/cp1251.h"

namespace lan2com {
namespace {

TEST(EventLog, TheTextIsValidAndCutToTheLimitInCharacters) {
    const std::string cyrillic = "Ошибка";  // two bytes a character
    std::string atLimit;
    for (std::size_t i = 0; i < kEventTextLimit; ++i) {
        atLimit += "ж";
    }
    EXPECT_EQ(eventLogText(cyrillic), cyrillic);
    EXPECT_EQ(eventLogText(atLimit), atLimit);
    const std::string cut = eventLogText(atLimit + "ж");
    EXPECT_EQ(decodeUtf8(cut).size(), kEventTextLimit);
    EXPECT_EQ(cut.substr(cut.size() - 3), "…");
    EXPECT_TRUE(isValidUtf8(eventLogText("a\xff\xfe b")));
}

#ifdef _WIN32
TEST(EventLog, TheSystemTakesEveryKindOfEntry) {
    for (const EventLogKind kind :
         {EventLogKind::Error, EventLogKind::Warning, EventLogKind::Information}) {
        EXPECT_TRUE(writeEventLog(kind, "lan2com test entry: Проверка журнала событий"));
    }
    std::string huge(100000, 'x');
    EXPECT_TRUE(writeEventLog(EventLogKind::Information, huge));  // cut, not refused
}
#endif

}  // namespace
}  // namespace lan2com
