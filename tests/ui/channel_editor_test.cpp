#include "ui/channel_editor.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <functional>
#include <string>
#include <vector>

#include "app/main_window.h"
#include "channels/startup_plan.h"
#include "support/scripted_boxes.h"
#include "support/window_controls.h"

namespace lan2com {
namespace {

namespace text = editor_text;

struct RecordingReport final : ErrorReport {
    void report(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

std::string com(int n) {
    return "COM" + std::to_string(n);
}

// The main window after start-up found eight pairs COM10/COM11 … COM24/COM25 (pair p is
// COM(10+2p)/COM(11+2p), number p+1) and loaded no channel.
class ChannelEditorTest : public ::testing::Test {
  protected:
    ChannelEditorTest() {
        state.table.emptyAll();
        ui.comPortCombo->clear();
        for (int p = 0; p < 8; ++p) {
            state.portPairs[p] = {static_cast<std::uint8_t>(p + 1), ShortText<7>(com(10 + 2 * p)),
                                  ShortText<7>(com(11 + 2 * p))};
            ui.comPortCombo->addItem(QString::fromStdString(com(10 + 2 * p)), p);
        }
        ui.comPortCombo->setCurrentIndex(-1);
    }

    // A stored channel in the next slot; listed as start-up lists it, or not (pair not found).
    void store(int p, std::uint32_t port, int cnvrt = 0, bool listed = true) {
        const int s = state.table.firstEmpty();
        ChannelRecord& r = state.table[s];
        r.Pair = static_cast<std::uint8_t>(p + 1);
        r.ComIn = com(listed ? 10 + 2 * p : 90 + s);
        r.ComOut = com(listed ? 11 + 2 * p : 70 + s);
        r.AddrIP = "10.0.0." + std::to_string(s);
        r.Port = port;
        r.Cnvrt = static_cast<std::uint8_t>(cnvrt);
        if (listed) {
            const auto n = channelNodeTexts(r);
            ui.channelList.appendGroup(QString::fromStdString(n[0]),
                                       {QString::fromStdString(n[1]), QString::fromStdString(n[2]),
                                        QString::fromStdString(n[3]), QString::fromStdString(n[4]),
                                        QString::fromStdString(n[5])},
                                       s);
        }
        ui.deleteButton->setEnabled(ui.channelList.nodeCount() > 0);  // as start-up leaves it
    }

    // The operator chooses item `item` of comPortCombo (closing its list), may type over its text,
    // and fills in the rest.
    void fill(const char* ip, int item, const char* port, const char* typedCom = nullptr) {
        ui.transceiverAddressEdit->setText(QString::fromUtf8(ip));
        ui.comPortCombo->setCurrentIndex(item);
        editor.showChosenPair();
        if (typedCom != nullptr) {
            ui.comPortCombo->setEditText(QString::fromUtf8(typedCom));
        }
        ui.receivePortEdit->setText(QString::fromUtf8(port));
    }

    std::string slotText(int s) const {
        const ChannelRecord& r = state.table[s];
        return r.isEmpty() ? "-"
                           : std::to_string(r.Pair) + " " + r.ComIn.str() + "/" + r.ComOut.str() +
                                 " " + r.AddrIP.str() + ":" + std::to_string(r.Port) + " " +
                                 std::to_string(r.Cnvrt);
    }

    // Caption, address, port names, receive port and conversion mode, as the editor shows them.
    std::string editorText() const {
        return (ui.editorGroup->title() + " " + ui.transceiverAddressEdit->text() + " " +
                ui.comPortCombo->currentText() + ">" + ui.monitorPortLabel->text() + " " +
                ui.receivePortEdit->text() + " " +
                QString::number(ui.conversionGroup->checkedIndex()))
            .toStdString();
    }

    void show() {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    }

    testing::ScriptedBoxes boxes;
    RecordingReport errors;
    MainWindow form{MainWindowOptions{&boxes}};
    testing::WindowControls ui{form};
    SharedState state;  // the station's, in the program
    ChannelEditor editor{form.editorControls(), state, boxes, errors};
};

TEST_F(ChannelEditorTest, CreationFillsTheFirstEmptySlotAndShowsTheFirstChannel) {
    ui.applyButton->setEnabled(false);
    fill("10.0.0.1", 1, "9001");
    ui.conversionGroup->setCheckedIndex(1);
    QTest::mouseClick(ui.createButton, Qt::LeftButton);
    // A typed name of a discovered port takes that pair, its other port included; the group
    // shows the channel as stored.
    fill("<tqaWnsu", 0, "09002", "COM14");
    QTest::mouseClick(ui.createButton, Qt::LeftButton);

    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(slotText(0), "2 COM12/COM13 10.0.0.1:9001 1");
    EXPECT_EQ(slotText(1), "3 COM14/COM15 <tqaWnsu:9002 1");
    EXPECT_EQ(slotText(2), "-");
    EXPECT_EQ(ui.channelList.nodeText(9), QStringLiteral("COM15"));
    EXPECT_EQ(ui.channelList.nodeText(10), QStringLiteral("9002"));
    EXPECT_EQ(ui.channelList.slotOfGroup(6), 1);
    EXPECT_EQ(ui.channelList.selectedIndex(), 0);
    EXPECT_EQ(editorText(), "Канал №2 10.0.0.1 COM12>COM13 9001 1");
    EXPECT_TRUE(ui.deleteButton->isEnabled() && ui.applyButton->isEnabled());
}

// The rules themselves are tested as tables in channel_rules_test.cpp; here, that the editor reads
// its fields as they stand and shows a refusal without changing anything.
TEST_F(ChannelEditorTest, RefusalsNameTheirReasonAndChangeNothing) {
    store(0, 65536u + 9000u);  // as stored by hand: binds port 9000, its low 16 bits
    ui.channelList.selectIndex(0);
    editor.showSelectedChannel();  // monitorPortLabel: COM11
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[&] { fill("", 1, "9001"); }, text::kFillIn},
        {[&] { fill("1.1.1.1", 0, "9001"); }, text::kComPortInUse},
        {[&] { fill("1.1.1.1", -1, "9001", "COM14"); },
         text::kComPortInUse},                                            // monitorPortLabel stayed
        {[&] { fill("1.1.1.1", 1, "09000"); }, text::kReceivePortInUse},  // the port it binds
        {[&] { fill("1.1.1.1", 1, "9001", "COM99"); }, text::kUnknownComPort},
        {[&] { fill("1.2.3", 1, "9001"); }, text::kBadAddress},
    };
    for (const auto& [setup, message] : cases) {
        SCOPED_TRACE(message);
        setup();
        const std::string last = slotText(state.table.listLength() - 1);
        boxes.expect(BoxAnswer::Ok);
        QTest::mouseClick(ui.createButton, Qt::LeftButton);
        ASSERT_FALSE(boxes.shown.empty());
        const BoxRequest& box = boxes.shown.back();
        EXPECT_EQ(box.text, message);
        EXPECT_EQ(box.title, "Ошибка");
        EXPECT_TRUE(box.icon == BoxIcon::Error && box.buttons == BoxButtons::Ok);
        EXPECT_EQ(ui.channelList.nodeCount(), 6);
        EXPECT_EQ(slotText(state.table.listLength() - 1), last);
    }
    EXPECT_EQ(boxes.shown.size(), std::size(cases));

    // A port text that is no number ends in the error report, after no box.
    fill("10.0.0.1", 1, "100.5");
    QTest::mouseClick(ui.createButton, Qt::LeftButton);
    EXPECT_EQ(errors.messages, std::vector<std::string>{"'100.5' is not a valid integer value"});
    EXPECT_EQ(boxes.shown.size(), std::size(cases));
    EXPECT_EQ(slotText(1), "-");
}

TEST_F(ChannelEditorTest, DeletingAHeaderMovesLaterChannelsDownWithTheirModes) {
    for (int p = 0; p < 7; ++p) {
        store(p, 9000u + static_cast<std::uint32_t>(p), p % 3);
    }
    ui.channelList.selectIndex(33);  // a child row: nothing goes, the first channel is shown
    QTest::mouseClick(ui.deleteButton, Qt::LeftButton);
    EXPECT_EQ(ui.channelList.groupCount(), 7);
    EXPECT_EQ(editorText(), "Канал №1 10.0.0.0 COM10>COM11 9000 0");

    ui.channelList.selectIndex(30);  // the sixth channel
    QTest::mouseClick(ui.deleteButton, Qt::LeftButton);
    EXPECT_EQ(ui.channelList.nodeText(30), QStringLiteral("Канал №7"));
    EXPECT_EQ(ui.channelList.slotOfGroup(30), 5);
    EXPECT_EQ(slotText(4), "5 COM18/COM19 10.0.0.4:9004 1");
    EXPECT_EQ(slotText(5), "7 COM22/COM23 10.0.0.6:9006 0");
    EXPECT_EQ(slotText(6), "-");
    EXPECT_EQ(state.table[6].Port, 0u);
}

TEST_F(ChannelEditorTest, ChannelsWithoutAGroupKeepListAndTableInStep) {
    store(0, 9000);
    store(1, 9001, 0, false);  // its pair was not found at start-up
    store(2, 9002);
    store(3, 9003);
    ui.channelList.selectIndex(6);  // the group of slot 2, though it stands second
    QTest::mouseClick(ui.deleteButton, Qt::LeftButton);
    EXPECT_EQ(slotText(1), "2 COM91/COM71 10.0.0.1:9001 0");
    EXPECT_EQ(slotText(2), "4 COM16/COM17 10.0.0.3:9003 0");

    editor.deleteSlot(1);  // no group shows it: the table alone changes
    EXPECT_EQ(slotText(1), "4 COM16/COM17 10.0.0.3:9003 0");
    EXPECT_EQ(ui.channelList.groupCount(), 2);
    EXPECT_EQ(ui.channelList.slotOfGroup(6), 1);
    EXPECT_EQ(editorText(), "Канал №1 10.0.0.0 COM10>COM11 9000 0");
    editor.deleteSlot(1);  // now through its group
    EXPECT_EQ(ui.channelList.groupCount(), 1);
    EXPECT_EQ(slotText(1), "-");

    // The last channel: address and port names go, caption, receive port and mode stay.
    ui.receivePortEdit->setText(QStringLiteral("9123"));
    ui.conversionGroup->setCheckedIndex(2);
    QTest::mouseClick(ui.deleteButton, Qt::LeftButton);
    EXPECT_EQ(slotText(0), "-");
    EXPECT_EQ(editorText(), "Канал №1  > 9123 2");
    EXPECT_FALSE(ui.deleteButton->isEnabled());
}

TEST_F(ChannelEditorTest, KeyFiltersAdmitOnlyAddressCharactersWhicheverWayTextArrives) {
    const auto type = [](QWidget* w, const char* utf8) {
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString::fromUtf8(utf8), {});
    };
    const auto paste = [](QWidget* w, const char* clip) {
        QGuiApplication::clipboard()->setText(QString::fromUtf8(clip));
        QTest::keyClick(w, Qt::Key_V, Qt::ControlModifier);
    };
    for (QLineEdit* edit : {ui.transceiverAddressEdit, ui.receivePortEdit, ui.accountFilterEdit}) {
        SCOPED_TRACE(edit->objectName().toStdString());
        edit->clear();
        QTest::keyClicks(edit, "1.a");
        for (const char* key : {"ж", " ", "-", ","}) {
            type(edit, key);
        }
        EXPECT_EQ(edit->text(), QStringLiteral("1.a"));
        for (const Qt::Key key : {Qt::Key_Backspace, Qt::Key_Home, Qt::Key_Delete}) {
            QTest::keyClick(edit, key);
        }
        paste(edit, "10,0");  // refused whole
        paste(edit, "25");
        EXPECT_EQ(edit->text(), QStringLiteral("25."));
    }

    ui.localAddressCombo->addItems({QStringLiteral("192.168.0.5"), QStringLiteral("10.0.0.2")});
    for (const Qt::Key key : {Qt::Key_1, Qt::Key_Period, Qt::Key_Backspace, Qt::Key_Delete}) {
        QTest::keyClick(ui.localAddressCombo, key);
    }
    type(ui.localAddressCombo, "ж");
    paste(ui.localAddressCombo, "1");
    EXPECT_EQ(ui.localAddressCombo->currentText(), QStringLiteral("192.168.0.5"));
    QTest::keyClick(ui.localAddressCombo, Qt::Key_Down);  // a choice from the list still works
    EXPECT_EQ(ui.localAddressCombo->currentText(), QStringLiteral("10.0.0.2"));
}

TEST_F(ChannelEditorTest, LeavingTheAddressFieldChecksItAndGovernsCreate) {
    show();
    ui.transceiverAddressEdit->setFocus();
    for (const char* bad : {"1.2.3", "<tq.1.2.3", ""}) {
        ui.transceiverAddressEdit->setText(QString::fromUtf8(bad));
        boxes.expect(BoxAnswer::Ok);
        QTest::keyClick(ui.transceiverAddressEdit, Qt::Key_Tab);
        ASSERT_FALSE(boxes.shown.empty());
        EXPECT_EQ(boxes.shown.back().text, text::kBadAddress) << bad;
        EXPECT_FALSE(ui.createButton->isEnabled()) << bad;
        EXPECT_TRUE(ui.transceiverAddressEdit->hasFocus()) << bad;
    }
    ui.transceiverAddressEdit->setText(QStringLiteral("10.0.0.1"));
    QTest::keyClick(ui.transceiverAddressEdit, Qt::Key_Tab);
    EXPECT_TRUE(ui.createButton->isEnabled());
    EXPECT_TRUE(ui.comPortCombo->hasFocus());
    EXPECT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(ChannelEditorTest, ListClicksKeysAndTheDropDownListDriveTheEditor) {
    for (int p = 0; p < 3; ++p) {
        store(p, 9000u + static_cast<std::uint32_t>(p), p);
    }
    show();
    QTest::mouseClick(ui.channelTree->viewport(), Qt::LeftButton, {},
                      ui.channelTree->visualItemRect(ui.channelTree->topLevelItem(1)).center());
    EXPECT_EQ(editorText(), "Канал №2 10.0.0.1 COM12>COM13 9001 1");
    QTest::keyClick(ui.channelTree, Qt::Key_Down);
    QCoreApplication::processEvents();
    EXPECT_EQ(editorText(), "Канал №3 10.0.0.2 COM14>COM15 9002 2");
    ui.channelTree->expandAll();
    QTest::keyClick(ui.channelTree, Qt::Key_Down);  // onto a child row: the editor stays
    EXPECT_EQ(editorText(), "Канал №3 10.0.0.2 COM14>COM15 9002 2");

    ui.comPortCombo->setFocus();
    QTest::keyClick(ui.comPortCombo, Qt::Key_Down);  // chosen without opening the list
    QCoreApplication::processEvents();
    EXPECT_EQ(ui.comPortCombo->currentText(), QStringLiteral("COM10"));
    EXPECT_EQ(ui.monitorPortLabel->text(), QStringLiteral("COM15"));
    ui.comPortCombo->showPopup();
    QAbstractItemView* view = ui.comPortCombo->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_COMPARE(ui.monitorPortLabel->text(), QStringLiteral("COM13"));
}

}  // namespace
}  // namespace lan2com
