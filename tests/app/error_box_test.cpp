#include "app/error_box.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <thread>

#include "support/scripted_boxes.h"

namespace lan2com {
namespace {

using lan2com::testing::ScriptedBoxes;

class BoxErrorReportTest : public ::testing::Test {
  protected:
    ScriptedBoxes boxes;
    BoxErrorReport report{boxes, "lan2com"};
};

TEST_F(BoxErrorReportTest, ShowsTheFailureLaterInAnErrorBoxTitledWithTheApplication) {
    boxes.expect(BoxAnswer::Ok);
    report.report("'100.5' is not a valid integer value");
    EXPECT_TRUE(boxes.shown.empty()) << "the reporter is not held up by the box";
    EXPECT_EQ(report.pending(), 1u);

    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.shown.size(), 1u);
    const BoxRequest& box = boxes.shown[0];
    EXPECT_EQ(box.text, "'100.5' is not a valid integer value.");
    EXPECT_EQ(box.title, "lan2com");
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_EQ(box.defaultButton, BoxAnswer::Ok);
    EXPECT_EQ(box.icon, BoxIcon::Error);
    EXPECT_EQ(report.pending(), 0u);

    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.shown.size(), 1u) << "shown once";
}

TEST_F(BoxErrorReportTest, EachFailureGetsItsOwnBoxInOrder) {
    boxes.expect(BoxAnswer::Ok);
    boxes.expect(BoxAnswer::Ok);
    boxes.expect(BoxAnswer::Ok);
    report.report("ie_Open - device already open");
    report.report("Ошибка.");
    report.report("ie_Open - device already open");
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[0].text, "ie_Open - device already open.");
    EXPECT_EQ(boxes.shown[1].text, "Ошибка.");
    EXPECT_EQ(boxes.shown[2].text, "ie_Open - device already open.");
}

TEST_F(BoxErrorReportTest, AFailureReportedWhileABoxIsOpenWaitsForItsTurn) {
    boxes.expect(BoxAnswer::Ok, [&](const BoxRequest&) {
        // Inside the open box the event loop goes on, and a handler fails.
        report.report("second");
        QCoreApplication::processEvents();
        EXPECT_EQ(boxes.shown.size(), 1u) << "no second box over the first";
    });
    boxes.expect(BoxAnswer::Ok, [&](const BoxRequest&) {
        report.report("third");
        QCoreApplication::processEvents();
    });
    boxes.expect(BoxAnswer::Ok);
    report.report("first");
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.shown.size(), 3u);
    EXPECT_EQ(boxes.shown[0].text, "first.");
    EXPECT_EQ(boxes.shown[1].text, "second.");
    EXPECT_EQ(boxes.shown[2].text, "third.");
    EXPECT_EQ(boxes.maxDepth, 1);
}

TEST_F(BoxErrorReportTest, AFailingBoxDoesNotSilenceLaterReports) {
    boxes.expect(BoxAnswer::Ok, [](const BoxRequest&) { throw std::runtime_error("no display"); });
    boxes.expect(BoxAnswer::Ok);
    report.report("first");
    report.report("second");
    // The box's failure escapes to whoever runs the event loop; here: the test.
    EXPECT_THROW(QCoreApplication::processEvents(), std::runtime_error);
    QCoreApplication::processEvents();
    ASSERT_EQ(boxes.shown.size(), 2u);
    EXPECT_EQ(boxes.shown[1].text, "second.");
}

TEST_F(BoxErrorReportTest, ReportsFromOtherThreadsAreShownOnTheMainThread) {
    boxes.expect(BoxAnswer::Ok);
    boxes.expect(BoxAnswer::Ok);
    std::thread a([&] { report.report("from a"); });
    std::thread b([&] { report.report("from b"); });
    a.join();
    b.join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return boxes.shown.size() == 2; }, 2000));
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.shown.size(), 2u);
}

TEST(BoxErrorReportLifetime, AReportDestroyedBeforeItsTurnShowsNothing) {
    ScriptedBoxes boxes;
    {
        BoxErrorReport report(boxes, "lan2com");
        report.report("lost with the window");
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace lan2com
