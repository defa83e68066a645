#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "relay/station_loop.h"
#include "serial/port_select_dialog.h"
#include "serial/pty_end.h"

namespace lan2com {
namespace {

PortSelectDialog::Probe devicesAre(std::set<std::uint16_t> present) {
    return [present](std::uint16_t n) { return present.count(n) != 0; };
}

// Acts on the dialog once it is shown modally.
void whenShown(std::function<void(PortSelectDialog&)> act) {
    using Attempt = std::function<void()>;
    auto attempt = std::make_shared<Attempt>();
    std::weak_ptr<Attempt> weak = attempt;  // the pending timer holds the only strong reference
    *attempt = [act, weak] {
        auto self = weak.lock();
        auto* form = dynamic_cast<PortSelectDialog*>(QApplication::activeModalWidget());
        if (form != nullptr && form->isVisible()) {
            act(*form);
        } else if (self) {
            QTimer::singleShot(5, [self] { (*self)(); });
        }
    };
    QTimer::singleShot(0, [attempt] { (*attempt)(); });
}

TEST(PortSelectDialogTest, LooksAsDesigned) {
    PortSelectDialog form(nullptr, devicesAre({}));
    EXPECT_EQ(form.objectName(), "ComSelectForm");
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.size(), QSize(220, 131));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());  // not resizable
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form.font().family(), "MS Sans Serif");
    EXPECT_EQ(form.font().pixelSize(), 11);

    EXPECT_EQ(form.problemLabel->text(), "The configured serial port is not valid.");
    EXPECT_EQ(form.problemLabel->geometry(), QRect(18, 14, 176, 13));
    EXPECT_EQ(form.adviceLabel->text(), "Please choose another port.");
    EXPECT_EQ(form.adviceLabel->geometry(), QRect(18, 30, 133, 13));
    EXPECT_EQ(form.messageFrame->geometry(), QRect(8, 8, 201, 42));
    EXPECT_EQ(form.portList->geometry().topLeft(), QPoint(8, 64));
    EXPECT_EQ(form.portList->width(), 201);
    EXPECT_FALSE(form.portList->isEditable());
    EXPECT_EQ(form.okButton->text(), "OK");
    EXPECT_EQ(form.okButton->geometry(), QRect(8, 95, 85, 27));
    EXPECT_TRUE(form.okButton->isDefault());
    EXPECT_EQ(form.cancelButton->text(), "Cancel");
    EXPECT_EQ(form.cancelButton->geometry(), QRect(124, 95, 85, 27));
    // Tab order: OK, Cancel, the list.
    EXPECT_EQ(form.okButton->nextInFocusChain(), form.cancelButton);
    EXPECT_EQ(form.cancelButton->nextInFocusChain(), form.portList);
}

TEST(PortSelectDialogTest, ListsExistingDevicesUpToFiftyInOrder) {
    std::vector<std::uint16_t> probed;
    PortSelectDialog form(nullptr, [&](std::uint16_t n) {
        probed.push_back(n);
        return n == 3 || n == 7 || n == 50 || n == 51;
    });
    ASSERT_EQ(probed.size(), 50u);
    EXPECT_EQ(probed.front(), 1);
    EXPECT_EQ(probed.back(), 50);
    ASSERT_EQ(form.portList->count(), 3);
    EXPECT_EQ(form.portList->itemText(0), "COM3");
    EXPECT_EQ(form.portList->itemText(1), "COM7");
    EXPECT_EQ(form.portList->itemText(2), "COM50");
    EXPECT_EQ(form.selectedPort(), "COM3");

    PortSelectDialog empty(nullptr, devicesAre({}));
    EXPECT_EQ(empty.portList->currentIndex(), -1);
    EXPECT_EQ(empty.selectedPort(), "");
}

TEST(PortSelectDialogTest, PromptAnswersTheChoiceOnOkAndNothingOtherwise) {
    PortSelectPrompt prompt(nullptr, devicesAre({3, 7}));

    whenShown([](PortSelectDialog& f) { QTest::mouseClick(f.okButton, Qt::LeftButton); });
    EXPECT_EQ(prompt.choosePort(), std::optional<std::string>("COM3"));

    whenShown([](PortSelectDialog& f) {
        f.portList->setCurrentIndex(1);
        QTest::keyClick(&f, Qt::Key_Return);  // OK is the default button
    });
    EXPECT_EQ(prompt.choosePort(), std::optional<std::string>("COM7"));

    whenShown([](PortSelectDialog& f) { QTest::mouseClick(f.cancelButton, Qt::LeftButton); });
    EXPECT_EQ(prompt.choosePort(), std::nullopt);

    whenShown([](PortSelectDialog& f) { f.close(); });  // the close box
    EXPECT_EQ(prompt.choosePort(), std::nullopt);

    PortSelectPrompt nothing(nullptr, devicesAre({}));
    whenShown([](PortSelectDialog& f) { QTest::mouseClick(f.okButton, Qt::LeftButton); });
    EXPECT_EQ(nothing.choosePort(), std::optional<std::string>(""));
}

TEST(PortSelectDialogTest, AChannelWithoutAPortNumberOpensTheDeviceChosenInTheDialog) {
    serialtest::DevicesHome home;
    serialtest::PtyEnd far(home, 7);
    PortSelectPrompt prompt;  // the real device list
    ChannelRecord record;
    record.ComIn = "COM0";

    whenShown([](PortSelectDialog& f) {
        const int index = f.portList->findText("COM7");
        ASSERT_GE(index, 0);
        f.portList->setCurrentIndex(index);
        QTest::mouseClick(f.okButton, Qt::LeftButton);
    });
    const ChannelSetup chosen = channelSetup(0, record, &prompt);
    EXPECT_EQ(chosen.comNumber, 7);
    ComPort port;
    port.open(chosen.comNumber, channelLineSettings(0));
    const std::uint8_t k = 'k';
    ASSERT_TRUE(port.write(&k, 1));
    EXPECT_EQ(far.read(1, 2000), std::vector<std::uint8_t>{'k'});

    whenShown([](PortSelectDialog& f) { QTest::mouseClick(f.cancelButton, Qt::LeftButton); });
    const ChannelSetup cancelled = channelSetup(0, record, &prompt);
    EXPECT_EQ(cancelled.comNumber, 0);
    EXPECT_EQ(cancelled.comProblem, "The ComNumber property of the TApdComPort has not been set");
}

}  // namespace
}  // namespace lan2com
