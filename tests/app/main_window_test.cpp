#include "app/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>
#include <QTextBlock>
#include <stdexcept>

#include "support/scripted_boxes.h"
#include "support/window_controls.h"

namespace lan2com {
namespace {

using lan2com::testing::ScriptedBoxes;
using lan2com::testing::WindowControls;

class MainWindowTest : public ::testing::Test {
  protected:
    MainWindowOptions options() {
        MainWindowOptions o;
        o.boxes = &boxes;
        return o;
    }

    ScriptedBoxes boxes;
    MainWindow form{options()};
    WindowControls ui{form};
};

QColor textColor(const QWidget* widget, QPalette::ColorRole role) {
    return widget->palette().color(QPalette::Active, role);
}

TEST_F(MainWindowTest, WindowIsFixedSizeWithoutMaximizeAndCentred) {
    EXPECT_EQ(form.windowTitle(), QStringLiteral("Велтар  ЛВС->виртуальный Com-порт"));
    EXPECT_EQ(form.size(), QSize(637, 364));
    EXPECT_EQ(form.minimumSize(), QSize(637, 364));
    EXPECT_EQ(form.maximumSize(), QSize(637, 364));
    const Qt::WindowFlags flags = form.windowFlags();
    EXPECT_TRUE(flags.testFlag(Qt::Window));
    EXPECT_TRUE(flags.testFlag(Qt::WindowSystemMenuHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowMinimizeButtonHint));
    EXPECT_TRUE(flags.testFlag(Qt::WindowCloseButtonHint));
    EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));

    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_EQ(form.size(), QSize(637, 364));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form.frameGeometry().center() - area.center()).manhattanLength(), 40)
        << "window centre " << form.frameGeometry().center().x() << ","
        << form.frameGeometry().center().y();
    EXPECT_EQ(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));
}

TEST_F(MainWindowTest, ButtonsAreFlatTakeNoFocusAndStartAsDesigned) {
    struct Expected {
        QPushButton* button;
        const char* caption;
        QColor color;
        bool enabled;
    };
    const Expected buttons[] = {{ui.createButton, "Создать", QColor(0, 0, 0), true},
                                {ui.deleteButton, "Удалить", QColor(255, 0, 0), false},
                                {ui.applyButton, "Применить", QColor(0, 0, 255), true},
                                {ui.clearLogButton, "Очистить", QColor(255, 0, 0), true}};
    for (const Expected& e : buttons) {
        SCOPED_TRACE(e.caption);
        EXPECT_EQ(e.button->text(), QString::fromUtf8(e.caption));
        EXPECT_TRUE(e.button->isFlat());
        EXPECT_EQ(e.button->focusPolicy(), Qt::NoFocus);
        EXPECT_EQ(textColor(e.button, QPalette::ButtonText), e.color);
        EXPECT_EQ(e.button->isEnabled(), e.enabled);
        EXPECT_GE(e.button->font().pointSize(), 10);
        EXPECT_LE(e.button->font().pointSize(), 14);
    }
    EXPECT_EQ(ui.createButton->font().pointSize(), 14);
}

TEST_F(MainWindowTest, ClickingAFlatButtonLeavesTheFocusInTheEditField) {
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    ui.transceiverAddressEdit->setFocus();
    ASSERT_TRUE(ui.transceiverAddressEdit->hasFocus());
    int clicks = 0;
    QObject::connect(ui.createButton, &QPushButton::clicked, [&] { ++clicks; });
    QTest::mouseClick(ui.createButton, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_TRUE(ui.transceiverAddressEdit->hasFocus());
}

TEST_F(MainWindowTest, EditorControlsCaptionsAndHints) {
    const QString hintSource = QStringLiteral("IP-адрес трансивера БПС");
    const QString hintComIn = QStringLiteral("Виртуальный Сом-порт приложения");
    const QString hintComOut = QStringLiteral("Виртуальный Сом-порт ПО ЦПС");

    EXPECT_EQ(ui.editorGroup->title(), QString());
    EXPECT_TRUE(ui.editorGroup->isFlat());
    EXPECT_EQ(ui.transceiverAddressLabel->text(), QStringLiteral("IP передатчика "));
    EXPECT_EQ(ui.transceiverAddressLabel->toolTip(), hintSource);
    EXPECT_EQ(ui.comPortCaption->text(), QStringLiteral("-->Com"));
    EXPECT_EQ(ui.comPortCaption->toolTip(), hintComIn);
    EXPECT_EQ(ui.monitorPortCaption->text(), QStringLiteral("Com-->"));
    EXPECT_EQ(ui.monitorPortCaption->toolTip(), hintComOut);
    EXPECT_EQ(ui.localAddressLabel->text(), QStringLiteral("IP ПК"));
    EXPECT_EQ(ui.receivePortLabel->text(), QStringLiteral("Порт ПК"));
    EXPECT_EQ(ui.channelListTitle->text(), QStringLiteral("Список каналов"));

    EXPECT_EQ(ui.transceiverAddressEdit->text(), QStringLiteral("255.255.255.255"));
    EXPECT_EQ(ui.transceiverAddressEdit->toolTip(), hintSource);
    EXPECT_EQ(ui.transceiverAddressEdit->palette().color(QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(ui.transceiverAddressEdit->maxLength(), 32767) << "no length limit of its own";

    EXPECT_TRUE(ui.comPortCombo->isEditable());
    EXPECT_EQ(ui.comPortCombo->completer(), nullptr);
    EXPECT_EQ(ui.comPortCombo->count(), 3);
    EXPECT_EQ(ui.comPortCombo->itemText(0), QStringLiteral("com10"));
    EXPECT_EQ(ui.comPortCombo->itemText(1), QStringLiteral("com12"));
    EXPECT_EQ(ui.comPortCombo->itemText(2), QStringLiteral("com14"));
    EXPECT_EQ(ui.comPortCombo->currentText(), QString());
    EXPECT_EQ(ui.comPortCombo->currentIndex(), -1);
    EXPECT_EQ(ui.comPortCombo->toolTip(), hintComIn);

    EXPECT_EQ(ui.monitorPortLabel->text(), QString());
    EXPECT_EQ(ui.monitorPortLabel->toolTip(), hintComOut);
    EXPECT_EQ(textColor(ui.monitorPortLabel, QPalette::WindowText), QColor(0, 0, 255));

    EXPECT_TRUE(ui.localAddressCombo->isEditable());
    EXPECT_EQ(ui.localAddressCombo->completer(), nullptr);
    EXPECT_EQ(ui.localAddressCombo->count(), 0);
    EXPECT_EQ(ui.localAddressCombo->currentText(), QString());

    EXPECT_EQ(ui.receivePortEdit->text(), QString());
    EXPECT_EQ(ui.receivePortEdit->maxLength(), 5);

    EXPECT_EQ(ui.conversionGroup->title(), QString());
    ASSERT_EQ(ui.conversionGroup->count(), 3);
    EXPECT_EQ(ui.conversionGroup->itemCaption(0), QStringLiteral("A->0"));
    EXPECT_EQ(ui.conversionGroup->itemCaption(1), QStringLiteral("0->A"));
    EXPECT_EQ(ui.conversionGroup->itemCaption(2), QStringLiteral("нет"));
    EXPECT_EQ(ui.conversionGroup->checkedIndex(), 0);
}

TEST_F(MainWindowTest, TypingIntoAComboNeverAddsAnItem) {
    // The items of comPortCombo stand for the pair table by index: Enter must not append to them.
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    for (QComboBox* combo : {ui.comPortCombo, ui.localAddressCombo}) {
        const int before = combo->count();
        combo->setFocus();
        QTest::keyClicks(combo, QStringLiteral("com99"));
        QTest::keyClick(combo, Qt::Key_Return);
        EXPECT_EQ(combo->count(), before) << combo->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, LogAndDiagnosticsControlsStartAsDesigned) {
    EXPECT_TRUE(ui.diagnosticsLog->isReadOnly());
    EXPECT_TRUE(ui.diagnosticsLog->toPlainText().isEmpty());
    EXPECT_EQ(ui.diagnosticsLog->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(ui.diagnosticsLog->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    EXPECT_EQ(ui.diagnosticsLog->font().pointSize(), 10);

    EXPECT_EQ(ui.diagnosticsCheck->text(), QStringLiteral("Диагностика"));
    EXPECT_FALSE(ui.diagnosticsCheck->isChecked());

    EXPECT_TRUE(ui.recordCountLabel->isVisibleTo(&form));
    EXPECT_EQ(ui.recordCountLabel->text(), QString());
    EXPECT_TRUE(ui.recordCountLabel->alignment().testFlag(Qt::AlignRight));
    EXPECT_EQ(textColor(ui.recordCountLabel, QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(ui.recordCountLabel->font().pointSize(), 14);

    EXPECT_EQ(ui.accountFilterLabel->text(), QStringLiteral("Фильтр по идентификатору ППК"));
    EXPECT_FALSE(ui.accountFilterLabel->isVisibleTo(&form));
    EXPECT_FALSE(ui.accountFilterEdit->isVisibleTo(&form));
    EXPECT_EQ(ui.accountFilterEdit->maxLength(), 5);
}

TEST_F(MainWindowTest, ChannelListLooksAsDesigned) {
    EXPECT_EQ(ui.channelTree->size(), QSize(214, 260));
    EXPECT_EQ(ui.channelTree->topLevelItemCount(), 0);
    EXPECT_EQ(ui.channelTree->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_EQ(ui.channelTree->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(ui.channelTree->indentation(), 19);
    EXPECT_EQ(ui.channelTree->font().pointSize(), 12);

    ui.channelList.appendGroup(
        QStringLiteral("Канал №1"),
        {QStringLiteral("10.0.0.1"), QStringLiteral("com2"), QStringLiteral("com3"),
         QStringLiteral("9000"), QStringLiteral("A->0")},
        0);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ui.channelList.selectIndex(3);
    QTreeWidgetItem* header = ui.channelTree->topLevelItem(0);
    EXPECT_EQ(ui.channelTree->visualItemRect(header).height(), 20);
    EXPECT_EQ(ui.channelTree->visualItemRect(header->child(4)).height(), 20);
    EXPECT_EQ(ui.channelTree->visualItemRect(header->child(0)).top(),
              ui.channelTree->visualItemRect(header).top() + 20);
}

TEST_F(MainWindowTest, LampsStandHiddenAndLimeInOneColumnBesideTheList) {
    const QRect list = ui.channelTree->geometry();
    for (int s = 0; s < kSlots; ++s) {
        SCOPED_TRACE(s);
        const ChannelLamp* lamp = ui.lamps[static_cast<std::size_t>(s)];
        ASSERT_NE(lamp, nullptr);
        EXPECT_EQ(lamp->parentWidget(), &form);
        EXPECT_FALSE(lamp->isVisibleTo(&form));
        EXPECT_EQ(lamp->color(), QColor(0, 255, 0));
        EXPECT_EQ(lamp->size(), QSize(15, 10));
        EXPECT_EQ(lamp->x(), ui.lamps[0]->x());
        EXPECT_GT(lamp->x(), list.right());
        EXPECT_LE(lamp->x() - list.right(), 4) << "immediately right of the list";
        EXPECT_EQ(lamp->y(), list.top() + 16 * s);
        // Nothing else of the window lies under a lamp.
        for (QWidget* other : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (dynamic_cast<ChannelLamp*>(other) == nullptr) {
                EXPECT_FALSE(other->geometry().intersects(lamp->geometry()))
                    << other->objectName().toStdString();
            }
        }
    }
    EXPECT_EQ(ui.lamps[15]->y() - ui.lamps[0]->y(), 240);
}

TEST_F(MainWindowTest, ControlsFitInsideTheClientArea) {
    const QRect client(0, 0, 637, 364);
    for (QWidget* child : form.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        EXPECT_TRUE(client.contains(child->geometry())) << child->objectName().toStdString();
    }
    // Every caption is wide enough for its text.
    for (QLabel* label : form.findChildren<QLabel*>()) {
        if (!label->text().isEmpty()) {
            EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), label->width())
                << label->objectName().toStdString();
        }
    }
    for (QPushButton* button : form.findChildren<QPushButton*>()) {
        EXPECT_LE(button->fontMetrics().horizontalAdvance(button->text()), button->width())
            << button->objectName().toStdString();
    }
}

TEST_F(MainWindowTest, TheEndStartsUnconfirmedAndTheLogEmpty) {
    EXPECT_FALSE(form.exitConfirmed());
    EXPECT_EQ(form.logLineCount(), 0);
}

// The widgets that Tab visits from the memo on, until it comes back round.
std::vector<QWidget*> tabCycle(const WindowControls& ui) {
    std::vector<QWidget*> order;
    ui.diagnosticsLog->setFocus();
    for (int i = 0; i < 30; ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QWidget* focused = QApplication::focusWidget();
        if (focused == ui.diagnosticsLog || focused == nullptr) {
            break;
        }
        order.push_back(focused);
    }
    return order;
}

TEST_F(MainWindowTest, TabVisitsTheControlsInTheirOrder) {
    form.show();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));

    const std::vector<QWidget*> hidden = tabCycle(ui);
    const std::vector<QWidget*> expectedHidden = {
        ui.channelTree,       ui.diagnosticsCheck, ui.transceiverAddressEdit,    ui.comPortCombo,
        ui.localAddressCombo, ui.receivePortEdit,  ui.conversionGroup->button(0)};
    EXPECT_EQ(hidden, expectedHidden);

    ui.diagnosticsCheck->setChecked(true);  // shows accountFilterEdit
    const std::vector<QWidget*> shown = tabCycle(ui);
    const std::vector<QWidget*> expectedShown = {
        ui.channelTree,  ui.accountFilterEdit, ui.diagnosticsCheck, ui.transceiverAddressEdit,
        ui.comPortCombo, ui.localAddressCombo, ui.receivePortEdit,  ui.conversionGroup->button(0)};
    EXPECT_EQ(shown, expectedShown);
}

TEST_F(MainWindowTest, DiagnosticsCheckBoxShowsAndHidesTheFilterAndCounter) {
    form.show();
    ui.accountFilterEdit->setText(QStringLiteral("1234"));
    form.setRecordCount("17");

    QTest::mouseClick(ui.diagnosticsCheck, Qt::LeftButton);
    EXPECT_TRUE(ui.diagnosticsCheck->isChecked());
    EXPECT_TRUE(form.diagnosticsChecked());
    EXPECT_TRUE(ui.accountFilterEdit->isVisible());
    EXPECT_TRUE(ui.accountFilterLabel->isVisible());
    EXPECT_TRUE(ui.recordCountLabel->isVisible());

    QTest::mouseClick(ui.diagnosticsCheck, Qt::LeftButton);
    EXPECT_FALSE(form.diagnosticsChecked());
    EXPECT_FALSE(ui.accountFilterEdit->isVisible());
    EXPECT_FALSE(ui.accountFilterLabel->isVisible());
    EXPECT_FALSE(ui.recordCountLabel->isVisible());

    form.setDiagnosticsChecked(true);
    EXPECT_TRUE(ui.diagnosticsCheck->isChecked());
    EXPECT_TRUE(ui.accountFilterEdit->isVisible());
    EXPECT_TRUE(ui.recordCountLabel->isVisible());
    EXPECT_EQ(form.accountFilter(), "1234") << "contents survive hiding";
    EXPECT_EQ(ui.recordCountLabel->text(), QStringLiteral("17"));

    form.setDiagnosticsChecked(false);
    EXPECT_FALSE(ui.diagnosticsCheck->isChecked());
    EXPECT_FALSE(ui.accountFilterEdit->isVisible());
    EXPECT_FALSE(ui.accountFilterLabel->isVisible());
    EXPECT_FALSE(ui.recordCountLabel->isVisible());

    // Unchecked already: the handler still runs and puts the controls right.
    ui.recordCountLabel->show();
    form.setDiagnosticsChecked(false);
    EXPECT_FALSE(ui.recordCountLabel->isVisible());
}

TEST_F(MainWindowTest, LampsTakeTheRelayColoursAndVisibility) {
    const std::pair<LampColor, QColor> colours[] = {{LampColor::Yellow, QColor(255, 255, 0)},
                                                    {LampColor::Teal, QColor(0, 128, 128)},
                                                    {LampColor::Red, QColor(255, 0, 0)},
                                                    {LampColor::Lime, QColor(0, 255, 0)}};
    for (const auto& [colour, rgb] : colours) {
        form.setLampColor(4, colour);
        EXPECT_EQ(ui.lamps[4]->color(), rgb);
    }
    form.setLampColor(15, LampColor::Red);
    EXPECT_EQ(ui.lamps[15]->color(), QColor(255, 0, 0));
    EXPECT_EQ(ui.lamps[14]->color(), QColor(0, 255, 0));

    form.setLampVisible(0, true);
    EXPECT_TRUE(ui.lamps[0]->isVisibleTo(&form));
    EXPECT_FALSE(ui.lamps[1]->isVisibleTo(&form));
    form.setLampVisible(0, false);
    EXPECT_FALSE(ui.lamps[0]->isVisibleTo(&form));

    EXPECT_THROW(form.setLampColor(16, LampColor::Red), std::out_of_range);
    EXPECT_THROW(form.setLampVisible(-1, true), std::out_of_range);
}

TEST_F(MainWindowTest, LogCountsShortLinesOneEachAndIgnoresATrailingEmptyLine) {
    EXPECT_EQ(form.logLineCount(), 0);
    for (int i = 0; i < 2000; ++i) {
        form.appendLogLine("05.03.2024 07:08:09  Канал №3  192.168.1.20");
    }
    EXPECT_EQ(form.logLineCount(), 2000);
    form.appendLogLine("");
    EXPECT_EQ(form.logLineCount(), 2000);
    form.appendLogLine("x");
    EXPECT_EQ(form.logLineCount(), 2002) << "an empty line inside the log counts";
    form.clearLog();
    EXPECT_EQ(form.logLineCount(), 0);
    EXPECT_TRUE(ui.diagnosticsLog->toPlainText().isEmpty());
}

TEST_F(MainWindowTest, LogCountsAWrappedLineOncePerDisplayedLine) {
    const std::string longLine =
        "05.03.2024 07:08:09  Превышено допустимое число записей. Запись диагностики "
        "отключена. Для возобновления записи необходимо выполнить очистку окна "
        "\"Диагностика\" приложения.";
    for (int i = 0; i < 50; ++i) {
        form.appendLogLine("short line " + std::to_string(i));
    }
    form.appendLogLine(longLine);  // far below the part of the memo in view
    const int counted = form.logLineCount();
    EXPECT_GT(counted, 52);

    // What the memo itself shows once the window is on the screen and the line is in view.
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ui.diagnosticsLog->moveCursor(QTextCursor::End);
    ui.diagnosticsLog->ensureCursorVisible();
    ui.diagnosticsLog->viewport()->repaint();
    const QTextBlock last = ui.diagnosticsLog->document()->lastBlock();
    ASSERT_GT(last.layout()->lineCount(), 1);
    EXPECT_EQ(counted, 50 + last.layout()->lineCount());
    EXPECT_EQ(form.logLineCount(), counted);
}

TEST_F(MainWindowTest, TimestampIsDateAndTimeOfTheSystemLocale) {
    const QLocale locale = QLocale::system();
    const QDateTime before = QDateTime::currentDateTime();
    const QString stamp = QString::fromStdString(form.timestamp());
    const QDateTime after = QDateTime::currentDateTime();
    const QString date = locale.toString(before.date(), QLocale::ShortFormat);
    EXPECT_TRUE(stamp.startsWith(date + QLatin1Char(' ')) ||
                stamp.startsWith(locale.toString(after.date(), QLocale::ShortFormat)))
        << stamp.toStdString();
    // Hours, minutes and seconds: on a 24-hour clock, or on a 12-hour one followed by the
    // locale's AM or PM text.
    const QString marker = QStringLiteral("(\\s*(%1|%2))?$")
                               .arg(QRegularExpression::escape(locale.amText()),
                                    QRegularExpression::escape(locale.pmText()));
    EXPECT_TRUE(
        stamp.contains(QRegularExpression(QStringLiteral("\\d\\d?:\\d\\d:\\d\\d") + marker)))
        << stamp.toStdString();
}

TEST_F(MainWindowTest, CloseQueryNoKeepsTheWindowAndYesEndsTheProgram) {
    bool confirmed = false;
    form.onExitConfirmed = [&] {
        EXPECT_TRUE(form.exitConfirmed()) << "the exit is confirmed before the hook runs";
        confirmed = true;
    };

    boxes.expect(BoxAnswer::No);
    EXPECT_FALSE(form.confirmExit());
    ASSERT_EQ(boxes.shown.size(), 1u);
    const BoxRequest& asked = boxes.shown[0];
    EXPECT_EQ(asked.text, "Завершить работу приложения?");
    EXPECT_EQ(asked.title, "Завершение работы");
    EXPECT_EQ(asked.buttons, BoxButtons::YesNo);
    EXPECT_EQ(asked.defaultButton, BoxAnswer::No);
    EXPECT_EQ(asked.icon, BoxIcon::Question);
    EXPECT_TRUE(asked.stayOnTop);
    EXPECT_FALSE(form.exitConfirmed());
    EXPECT_FALSE(confirmed);

    boxes.expect(BoxAnswer::Yes);
    EXPECT_TRUE(form.confirmExit());
    EXPECT_TRUE(form.exitConfirmed());
    EXPECT_TRUE(confirmed);
}

TEST_F(MainWindowTest, ClosingTheWindowAsksFirst) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));

    boxes.expect(BoxAnswer::No);
    EXPECT_FALSE(form.close());
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.exitConfirmed());

    // Close requests while the question is open are refused, not asked twice.
    boxes.expect(BoxAnswer::Yes, [&](const BoxRequest&) {
        QCloseEvent fromWindowManager;
        QCoreApplication::sendEvent(&form, &fromWindowManager);
        EXPECT_FALSE(fromWindowManager.isAccepted());
        form.close();
        EXPECT_TRUE(form.isVisible());
        EXPECT_FALSE(form.exitConfirmed());
    });
    EXPECT_TRUE(form.close());
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(form.exitConfirmed());
    EXPECT_EQ(boxes.shown.size(), 2u);
}

TEST_F(MainWindowTest, FailureInTheCloseQueryKeepsTheWindowAndAllowsAnotherQuestion) {
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    boxes.expect(BoxAnswer::Yes);
    form.onExitConfirmed = [] { throw std::runtime_error("exit failed"); };
    EXPECT_THROW(form.confirmExit(), std::runtime_error);
    form.onExitConfirmed = nullptr;
    boxes.expect(BoxAnswer::Yes);
    EXPECT_TRUE(form.confirmExit());
}

TEST_F(MainWindowTest, FormShowRunsOnceFromTheEventLoopAfterTheFirstShow) {
    int runs = 0;
    form.onFirstShown = [&] {
        EXPECT_TRUE(form.isVisible());
        ++runs;
    };
    form.show();
    EXPECT_EQ(runs, 0) << "not inside show()";
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
    form.hide();
    form.show();
    form.showMinimized();
    form.showNormal();
    QCoreApplication::processEvents();
    EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace lan2com
