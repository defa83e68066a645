#include "platform/qt_handover.h"

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <string>
#include <vector>

namespace lan2com {
namespace {

// A call that opens a modal message box runs a nested event loop until the box is closed; what
// it deferred to its end (a line for a serial port) must not wait for the box.
TEST(QtHandover, WhatWaitsForTheCallsEndRunsInAnEventLoopNestedInTheCall) {
    QtHandover handover;
    std::vector<std::string> steps;
    std::vector<std::string> seenBeforeTheBoxCloses;
    bool done = false;
    handover.post([&] {
        handover.atCallEnd([&] { steps.push_back("end"); });
        steps.push_back("call");
        QEventLoop box;
        QTimer::singleShot(200, &box, [&] {
            seenBeforeTheBoxCloses = steps;
            box.quit();
        });
        box.exec();
        steps.push_back("box closed");
        done = true;
    });
    QEventLoop outer;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &outer, [&] {
        if (done) {
            outer.quit();
        }
    });
    poll.start(10);
    QTimer::singleShot(5000, &outer, &QEventLoop::quit);
    outer.exec();
    ASSERT_TRUE(done);
    EXPECT_EQ(seenBeforeTheBoxCloses, (std::vector<std::string>{"call", "end"}));
    EXPECT_EQ(steps, (std::vector<std::string>{"call", "end", "box closed"}));
}

}  // namespace
}  // namespace lan2com
