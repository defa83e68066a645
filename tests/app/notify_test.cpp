// Runs under the program's own application object, which a runner of its own provides: the
// shared runner's application is a plain QApplication.
#include <gtest/gtest.h>

#include <QEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <stdexcept>

#include "app/application.h"
#include "app/error_box.h"
#include "app/main_window.h"
#include "support/scripted_boxes.h"
#include "support/window_controls.h"

namespace lan2com {
namespace {

using lan2com::testing::ScriptedBoxes;
using lan2com::testing::WindowControls;

Lan2comApplication& application() {
    return *static_cast<Lan2comApplication*>(qApp);
}

// A widget whose own event handler fails.
class ThrowingWidget final : public QWidget {
  public:
    static constexpr QEvent::Type kFail = QEvent::User;

  protected:
    bool event(QEvent* event) override {
        if (event->type() == kFail) {
            throw std::runtime_error("Output buffer too small for block");
        }
        return QWidget::event(event);
    }
};

class NotifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        MainWindowOptions options;
        options.boxes = &boxes;
        form = std::make_unique<MainWindow>(options);
        ui = std::make_unique<WindowControls>(*form);
        errors = std::make_unique<BoxErrorReport>(boxes, "lan2com");
        application().setErrorReport(errors.get());
    }
    void TearDown() override {
        application().setErrorReport(nullptr);
        errors.reset();
        ui.reset();
        form.reset();
    }

    ScriptedBoxes boxes;
    std::unique_ptr<MainWindow> form;
    std::unique_ptr<WindowControls> ui;      // the controls of form
    std::unique_ptr<BoxErrorReport> errors;  // the default error report, as the station has it
};

TEST_F(NotifyTest, AFailureEscapingAQueuedCallIsReportedAndTheLoopGoesOn) {
    boxes.expect(BoxAnswer::Ok);
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("'12a' is not a valid integer value"); });
    QTimer::singleShot(10, [&] { after = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return after && !boxes.shown.empty(); }, 2000));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, "'12a' is not a valid integer value.");
    EXPECT_EQ(boxes.shown[0].title, "lan2com");
    EXPECT_EQ(boxes.shown[0].icon, BoxIcon::Error);
    EXPECT_EQ(boxes.shown[0].buttons, BoxButtons::Ok);
}

TEST_F(NotifyTest, AFailureInAWidgetEventIsReported) {
    boxes.expect(BoxAnswer::Ok);
    ThrowingWidget widget;
    widget.resize(20, 20);
    widget.show();
    QCoreApplication::postEvent(&widget, new QEvent(ThrowingWidget::kFail));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 2000));
    EXPECT_EQ(boxes.shown[0].text, "Output buffer too small for block.");
    EXPECT_TRUE(widget.isVisible());
}

TEST_F(NotifyTest, AFailingClickHandlerIsReportedAndTheButtonWorksOn) {
    boxes.expect(BoxAnswer::Ok);
    int clicks = 0;
    QObject::connect(ui->applyButton, &QPushButton::clicked, form.get(),
                     reportingHandler(*errors, [&](bool) {
                         if (++clicks == 1) {
                             throw std::runtime_error("ie_BadId - Specified comport doesn't exist");
                         }
                     }));
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QTest::mouseClick(ui->applyButton, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 2000));
    EXPECT_EQ(boxes.shown[0].text, "ie_BadId - Specified comport doesn't exist.");
    QTest::mouseClick(ui->applyButton, Qt::LeftButton);
    EXPECT_EQ(clicks, 2);
    QCoreApplication::processEvents();
    EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(NotifyTest, AFailureInStartUpIsReportedWithTheWindowShown) {
    boxes.expect(BoxAnswer::Ok, [&](const BoxRequest&) { EXPECT_TRUE(form->isVisible()); });
    form->onFirstShown = [] { throw std::runtime_error("List index out of bounds (3)"); };
    form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.shown.empty(); }, 2000));
    // ")" stands below the full stop: no full stop is added.
    EXPECT_EQ(boxes.shown[0].text, "List index out of bounds (3)");
    EXPECT_TRUE(form->isVisible());
}

TEST(NotifyWithoutReport, AFailureWithNoReportDoesNotEndTheProgram) {
    application().setErrorReport(nullptr);
    bool after = false;
    QTimer::singleShot(0, [] { throw std::runtime_error("nobody listens"); });
    QTimer::singleShot(10, [&] { after = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return after; }, 2000));
}

}  // namespace
}  // namespace lan2com

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::testing::InitGoogleTest(&argc, argv);
    lan2com::Lan2comApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
