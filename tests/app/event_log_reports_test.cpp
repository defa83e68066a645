// What the event log keeps of the operator's messages: the failures of start-up and the failures
// that escape a handler, while every box is still shown as before.

#include "app/event_log_reports.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channels/startup_plan.h"
#include "support/scripted_boxes.h"

namespace lan2com {
namespace {

struct Entry {
    EventLogKind kind;
    std::string text;
};

struct Recorder {
    std::vector<Entry> entries;
    EventLogSink sink() {
        return [this](EventLogKind kind, const std::string& text) {
            entries.push_back({kind, text});
        };
    }
};

TEST(StartupFailuresLogged, LogsTheBoxesOfStartupOnlyAndShowsEveryBox) {
    const std::string noPairs(kNoPairsTitle);
    const std::string pairCheck(kPairCheckTitle);
    struct Case {
        std::string title;
        BoxIcon icon;
        bool logged;
        EventLogKind kind;
    } const cases[] = {
        {noPairs, BoxIcon::Error, true, EventLogKind::Error},
        {noPairs, BoxIcon::Warning, true, EventLogKind::Warning},  // configuration not read
        {pairCheck, BoxIcon::Warning, true, EventLogKind::Warning},
        {pairCheck, BoxIcon::Information, false, EventLogKind::Error},
        {"Применить", BoxIcon::Information, false, EventLogKind::Error},
        {"Ошибка", BoxIcon::Error, false, EventLogKind::Error},  // a refusal of the editor
        {"Ошибка создания канала", BoxIcon::Error, false, EventLogKind::Error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        Recorder log;
        testing::ScriptedBoxes inner;
        inner.expect(BoxAnswer::Yes);
        StartupFailuresLogged boxes(log.sink());
        boxes.setInner(&inner);
        BoxRequest request;
        request.title = c.title;
        request.text = "Текст сообщения";
        request.icon = c.icon;
        request.buttons = BoxButtons::YesNo;
        EXPECT_EQ(boxes.show(request), BoxAnswer::Yes);  // the inner box's answer
        ASSERT_EQ(inner.shown.size(), 1u);
        EXPECT_EQ(inner.shown[0].text, request.text);
        ASSERT_EQ(log.entries.size(), c.logged ? 1u : 0u);
        if (c.logged) {
            EXPECT_EQ(log.entries[0].kind, c.kind);
            EXPECT_EQ(log.entries[0].text, c.title + ": Текст сообщения");
        }
    }
}

TEST(StartupFailuresLogged, WithoutInnerBoxesLogsAndAnswersAsClosed) {
    Recorder log;
    StartupFailuresLogged boxes(log.sink());
    BoxRequest request;
    request.title = std::string(kNoPairsTitle);
    request.icon = BoxIcon::Error;
    request.buttons = BoxButtons::YesNo;
    EXPECT_EQ(boxes.show(request), BoxAnswer::No);
    request.buttons = BoxButtons::Ok;
    EXPECT_EQ(boxes.show(request), BoxAnswer::Ok);
    EXPECT_EQ(log.entries.size(), 2u);
}

TEST(EscapedFailuresLogged, WritesTheFailureAsAnErrorThenReportsIt) {
    struct Inner final : ErrorReport {
        std::vector<std::string> messages;
        void report(const std::string& message) override { messages.push_back(message); }
    } inner;
    Recorder log;
    EscapedFailuresLogged report(inner, log.sink());
    report.report("ie_Open - device already open");
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].kind, EventLogKind::Error);
    EXPECT_EQ(log.entries[0].text, "ie_Open - device already open.");  // as the box shows it
    EXPECT_EQ(inner.messages, std::vector<std::string>{"ie_Open - device already open"});
}

}  // namespace
}  // namespace lan2com
