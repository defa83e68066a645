#include "app/lamp.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEvent>
#include <QTest>
#include <memory>
#include <vector>

namespace lan2com {
namespace {

// Records the colour a lamp has each time it is painted.
class PaintLog final : public QObject {
  public:
    explicit PaintLog(ChannelLamp& lamp) : lamp_(lamp) { lamp.installEventFilter(this); }
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == &lamp_ && event->type() == QEvent::Paint) {
            painted.push_back(lamp_.color());
        }
        return false;
    }
    std::vector<QColor> painted;

  private:
    ChannelLamp& lamp_;
};

class ChannelLampTest : public ::testing::Test {
  protected:
    ChannelLampTest() {
        window.resize(60, 40);
        lamp = new ChannelLamp(&window);
        log = std::make_unique<PaintLog>(*lamp);
        lamp->show();
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        QTest::qWait(3 * ChannelLamp::kRepaintMs);  // the first paint and its period are over
        log->painted.clear();
    }
    QWidget window;
    ChannelLamp* lamp = nullptr;
    std::unique_ptr<PaintLog> log;
};

TEST_F(ChannelLampTest, AChangeAfterAQuietSpellIsPaintedWithoutWaitingForThePeriod) {
    lamp->setColor(Qt::red);
    EXPECT_EQ(lamp->color(), QColor(Qt::red));  // the colour itself changes at once
    for (int i = 0; i < 5 && log->painted.empty(); ++i) {
        QCoreApplication::processEvents();  // handles what is posted; runs no timer not yet due
    }
    ASSERT_FALSE(log->painted.empty());
    EXPECT_EQ(log->painted.back(), QColor(Qt::red));
}

TEST_F(ChannelLampTest, ABurstOfChangesIsPaintedOncePerPeriodEndingInItsLastColour) {
    const QColor colours[] = {Qt::yellow, Qt::cyan, Qt::green};
    for (int i = 0; i < 300; ++i) {
        lamp->setColor(colours[i % 3]);
        if (i % 50 == 0) {
            QCoreApplication::processEvents();
        }
    }
    lamp->setColor(Qt::red);
    QTest::qWait(4 * ChannelLamp::kRepaintMs);
    ASSERT_FALSE(log->painted.empty());
    EXPECT_LE(log->painted.size(), 3u) << "at once, then at most every period";
    EXPECT_EQ(log->painted.back(), QColor(Qt::red));
    EXPECT_EQ(lamp->color(), QColor(Qt::red));
}

}  // namespace
}  // namespace lan2com
