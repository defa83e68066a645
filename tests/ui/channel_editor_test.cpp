#include "ui/channel_editor.h"

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QClipboard>
#include <QTest>
#include <functional>
#include <string>
#include <vector>

#include "app/ts_form.h"
#include "channels/startup_plan.h"
#include "support/scripted_boxes.h"

namespace lan2com {
namespace {

using lan2com::testing::ScriptedBoxes;
namespace text = editor_text;

class RecordingReport final : public ErrorReport {
  public:
    void report(const std::string& message) override { messages.push_back(message); }
    std::vector<std::string> messages;
};

EditorControls controlsOf(TS_Form& f) {
    return {f.chanel,   f.treePair, &f.channelList, f.btnAdd, f.btnDel, f.btnApply, f.editIP,
            f.comboCom, f.lblCom,   f.edtIP,        f.PortIn, f.Accnt,  f.cnvrtRG};
}

std::string comIn(int pair) {
    return "COM" + std::to_string(10 + 2 * pair);
}
std::string comOut(int pair) {
    return "COM" + std::to_string(11 + 2 * pair);
}

// A window after start-up found eight pairs, COM10/COM11 … COM24/COM25, and an empty table.
class ChannelEditorTest : public ::testing::Test {
  protected:
    ChannelEditorTest() {
        form.state.table.emptyAll();
        form.comboCom->clear();
        for (int p = 0; p < 8; ++p) {
            TVCP& entry = form.state.ArrVCP[static_cast<std::size_t>(p)];
            entry.Pair = static_cast<std::uint8_t>(p + 1);
            entry.ComIn = comIn(p);
            entry.ComOut = comOut(p);
            form.comboCom->addItem(QString::fromStdString(entry.ComIn.str()), p);
        }
        form.comboCom->setCurrentIndex(-1);
    }

    // A stored channel in the next slot, listed as start-up lists a channel whose pair it found.
    void store(int pair, std::uint32_t port, int cnvrt = 0, bool listed = true) {
        const int s = form.state.table.firstEmpty();
        TPair& r = form.state.table[s];
        r.Pair = static_cast<std::uint8_t>(pair + 1);
        r.ComIn = listed ? comIn(pair) : "COM" + std::to_string(90 + s);
        r.ComOut = listed ? comOut(pair) : "COM" + std::to_string(70 + s);
        r.AddrIP = "10.0.0." + std::to_string(s);
        r.Port = port;
        r.Cnvrt = static_cast<std::uint8_t>(cnvrt);
        if (listed) {
            const auto nodes = ChannelNodeTexts(r);
            std::array<QString, ChannelList::kChildren> children;
            for (std::size_t i = 0; i < children.size(); ++i) {
                children[i] = QString::fromStdString(nodes[i + 1]);
            }
            form.channelList.appendGroup(QString::fromStdString(nodes[0]), children, s);
        }
        form.btnDel->setEnabled(form.channelList.nodeCount() > 0);  // as start-up leaves it
    }

    // The operator fills the editor: chooses an item of comboCom (closing its list) and then,
    // if given, types over its text.
    void fill(const QString& ip, int item, const QString& port, const char* typedCom = nullptr,
              int cnvrt = 0) {
        form.editIP->setText(ip);
        form.comboCom->setCurrentIndex(item);
        editor.comboComDropDown();
        if (typedCom != nullptr) {
            form.comboCom->setEditText(QString::fromUtf8(typedCom));
        }
        form.PortIn->setText(port);
        form.cnvrtRG->SetItemIndex(cnvrt);
    }

    std::string slotText(int s) const {
        const TPair& r = form.state.table[s];
        return r.isEmpty() ? "-"
                           : std::to_string(r.Pair) + " " + r.ComIn.str() + "/" + r.ComOut.str() +
                                 " " + r.AddrIP.str() + ":" + std::to_string(r.Port) + " " +
                                 std::to_string(r.Cnvrt);
    }

    void expectEditorShows(const char* header, const QString& ip, int pair, const char* port,
                           int cnvrt) {
        EXPECT_EQ(form.chanel->title(), QString::fromUtf8(header));
        EXPECT_EQ(form.editIP->text(), ip);
        EXPECT_EQ(form.comboCom->currentText().toStdString(), comIn(pair));
        EXPECT_EQ(form.lblCom->text().toStdString(), comOut(pair));
        EXPECT_EQ(form.PortIn->text(), QString::fromUtf8(port));
        EXPECT_EQ(form.cnvrtRG->ItemIndex(), cnvrt);
    }

    void show() {
        form.show();
        form.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    }

    ScriptedBoxes boxes;
    RecordingReport errors;
    TS_Form form{TS_FormOptions{&boxes}};
    ChannelEditor editor{controlsOf(form), form.state, boxes, errors};
};

TEST_F(ChannelEditorTest, CreationFillsTheFirstEmptySlotAppendsItsGroupAndShowsTheFirstChannel) {
    form.btnApply->setEnabled(false);
    fill("10.0.0.1", 1, "9001", nullptr, 1);
    QTest::mouseClick(form.btnAdd, Qt::LeftButton);
    // A typed name that is a discovered port takes that pair, both of its names included.
    fill("<tqaWnsu", 0, "09002", "COM14", 2);
    QTest::mouseClick(form.btnAdd, Qt::LeftButton);

    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_TRUE(errors.messages.empty());
    EXPECT_EQ(slotText(0), "2 COM12/COM13 10.0.0.1:9001 1");
    EXPECT_EQ(slotText(1), "3 COM14/COM15 <tqaWnsu:9002 2");
    EXPECT_EQ(slotText(2), "-");
    ASSERT_EQ(form.channelList.nodeCount(), 12);
    const char* second[] = {"Канал №3", "<tqaWnsu", "COM14", "COM15", "9002", "нет"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(form.channelList.nodeText(6 + i), QString::fromUtf8(second[i]));
    }
    EXPECT_EQ(form.channelList.slotOfGroup(6), 1);
    EXPECT_EQ(form.channelList.selectedIndex(), 0);
    expectEditorShows("Канал №2", "10.0.0.1", 1, "9001", 1);
    EXPECT_TRUE(form.btnDel->isEnabled());
    EXPECT_TRUE(form.btnApply->isEnabled());
}

TEST_F(ChannelEditorTest, RefusalsNameTheirReasonAndChangeNothing) {
    store(0, 9000);
    form.channelList.selectIndex(0);
    editor.treePairClick();
    struct Case {
        const char* what;
        std::function<void()> setup;
        const char* message;
    };
    const Case cases[] = {
        {"empty address", [&] { fill("", 1, "9001"); }, text::kFillIn},
        {"port name in use", [&] { fill("1.1.1.1", 0, "9001"); }, text::kComPortInUse},
        // the shown channel's COM11 stays in lblCom when a name is typed instead of chosen
        {"typed name, stale lblCom", [&] { fill("1.1.1.1", -1, "9001", "COM14"); },
         text::kComPortInUse},
        {"port in use, as a number", [&] { fill("1.1.1.1", 1, "09000"); }, text::kReceivePortInUse},
        {"port 0 equals an empty slot's", [&] { fill("1.1.1.1", 1, "0"); },
         text::kReceivePortInUse},
        {"port beyond 16 bits", [&] { fill("1.1.1.1", 1, "65546"); }, text::kFillIn},
        {"typed name of no pair", [&] { fill("1.1.1.1", 1, "9001", "COM99"); },
         text::kUnknownComPort},
        {"address not yet checked", [&] { fill("1.2.3", 1, "9001"); }, text::kBadAddress},
        {"all sixteen slots occupied",
         [&] {
             while (!form.state.table.isFull()) {
                 store(0, 100u + static_cast<std::uint32_t>(form.state.table.listLength()), 0,
                       false);
             }
             fill("1.1.1.1", 1, "9001");
         },
         text::kTableFull},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.setup();
        const std::string before = slotText(form.state.table.listLength() - 1);
        boxes.expect(BoxAnswer::Ok);
        QTest::mouseClick(form.btnAdd, Qt::LeftButton);
        ASSERT_FALSE(boxes.shown.empty());
        const BoxRequest& box = boxes.shown.back();
        EXPECT_EQ(box.text, c.message);
        EXPECT_EQ(box.title, "Ошибка");
        EXPECT_EQ(box.icon, BoxIcon::Error);
        EXPECT_EQ(box.buttons, BoxButtons::Ok);
        EXPECT_EQ(form.channelList.nodeCount(), 6);
        EXPECT_EQ(slotText(form.state.table.listLength() - 1), before);
    }
    EXPECT_EQ(boxes.shown.size(), std::size(cases));
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(ChannelEditorTest, PortTextThatIsNoNumberGoesToTheErrorReportAndAddsNothing) {
    fill("10.0.0.1", 1, "100.5");
    QTest::mouseClick(form.btnAdd, Qt::LeftButton);
    EXPECT_EQ(errors.messages, std::vector<std::string>{"'100.5' is not a valid integer value"});
    EXPECT_TRUE(boxes.shown.empty());
    EXPECT_EQ(form.channelList.nodeCount(), 0);
    EXPECT_EQ(slotText(0), "-");
}

TEST_F(ChannelEditorTest, DeletingAHeaderMovesLaterChannelsDownWithTheirModes) {
    for (int p = 0; p < 7; ++p) {
        store(p, 9000u + static_cast<std::uint32_t>(p), p % 3);
    }
    // A child row selected: nothing goes, the first channel is shown.
    form.channelList.selectIndex(33);
    QTest::mouseClick(form.btnDel, Qt::LeftButton);
    EXPECT_EQ(form.channelList.groupCount(), 7);
    EXPECT_EQ(form.channelList.selectedIndex(), 0);
    expectEditorShows("Канал №1", "10.0.0.0", 0, "9000", 0);

    form.channelList.selectIndex(30);  // the sixth channel
    QTest::mouseClick(form.btnDel, Qt::LeftButton);
    EXPECT_EQ(form.channelList.groupCount(), 6);
    EXPECT_EQ(form.channelList.nodeText(30), QStringLiteral("Канал №7"));
    EXPECT_EQ(form.channelList.slotOfGroup(30), 5);
    EXPECT_EQ(slotText(4), "5 COM18/COM19 10.0.0.4:9004 1");
    EXPECT_EQ(slotText(5), "7 COM22/COM23 10.0.0.6:9006 0");
    EXPECT_EQ(slotText(6), "-");
    EXPECT_EQ(form.state.table[6].Port, 0u);
    EXPECT_TRUE(form.btnDel->isEnabled());
}

TEST_F(ChannelEditorTest, DeletingTheLastChannelEmptiesAddressAndPortNamesOnly) {
    store(2, 9000, 1);
    form.channelList.selectIndex(0);
    editor.treePairClick();
    QTest::mouseClick(form.btnDel, Qt::LeftButton);
    EXPECT_EQ(form.channelList.nodeCount(), 0);
    EXPECT_EQ(slotText(0), "-");
    EXPECT_EQ(form.editIP->text(), QString());
    EXPECT_EQ(form.comboCom->currentText(), QString());
    EXPECT_EQ(form.lblCom->text(), QString());
    EXPECT_FALSE(form.btnDel->isEnabled());
    EXPECT_EQ(form.chanel->title(), QStringLiteral("Канал №3"));
    EXPECT_EQ(form.PortIn->text(), QStringLiteral("9000"));
    EXPECT_EQ(form.cnvrtRG->ItemIndex(), 1);
}

TEST_F(ChannelEditorTest, ChannelsWithoutAGroupKeepListAndTableInStep) {
    store(0, 9000);
    store(1, 9001, 0, false);  // its pair was not found at start-up
    store(2, 9002);
    store(3, 9003);
    form.channelList.selectIndex(6);  // the group of slot 2, though it stands second
    QTest::mouseClick(form.btnDel, Qt::LeftButton);
    EXPECT_EQ(slotText(1), "2 COM91/COM71 10.0.0.1:9001 0");
    EXPECT_EQ(slotText(2), "4 COM16/COM17 10.0.0.3:9003 0");
    EXPECT_EQ(form.channelList.slotOfGroup(6), 2);

    editor.deleteSlot(1);  // no group shows it: the table alone changes
    EXPECT_EQ(slotText(1), "4 COM16/COM17 10.0.0.3:9003 0");
    EXPECT_EQ(slotText(2), "-");
    EXPECT_EQ(form.channelList.groupCount(), 2);
    EXPECT_EQ(form.channelList.slotOfGroup(6), 1);
    EXPECT_EQ(form.channelList.selectedIndex(), 0);
    expectEditorShows("Канал №1", "10.0.0.0", 0, "9000", 0);

    editor.deleteSlot(1);  // now through its group
    EXPECT_EQ(form.channelList.groupCount(), 1);
    EXPECT_EQ(slotText(1), "-");
}

TEST_F(ChannelEditorTest, KeyFiltersAdmitOnlyAddressCharactersWhicheverWayTextArrives) {
    form.DiagCB->setChecked(true);
    for (QLineEdit* edit : {form.editIP, form.PortIn, form.Accnt}) {
        SCOPED_TRACE(edit->objectName().toStdString());
        edit->clear();
        QTest::keyClicks(edit, "1.a");
        for (const QString& key :
             {QStringLiteral("ж"), QStringLiteral(" "), QStringLiteral("-"), QStringLiteral(",")}) {
            QTest::sendKeyEvent(QTest::Click, edit, Qt::Key_unknown, key, Qt::NoModifier);
        }
        EXPECT_EQ(edit->text(), QStringLiteral("1.a"));
        QTest::keyClick(edit, Qt::Key_Backspace);
        QTest::keyClick(edit, Qt::Key_Home);
        QTest::keyClick(edit, Qt::Key_Delete);
        EXPECT_EQ(edit->text(), QStringLiteral("."));
        QGuiApplication::clipboard()->setText(QStringLiteral("10,0"));
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(edit->text(), QStringLiteral("."));
        QGuiApplication::clipboard()->setText(QStringLiteral("25"));
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(edit->text(), QStringLiteral("25."));
    }

    form.edtIP->addItems({QStringLiteral("192.168.0.5"), QStringLiteral("10.0.0.2")});
    form.edtIP->setCurrentIndex(0);
    QGuiApplication::clipboard()->setText(QStringLiteral("1"));
    for (const Qt::Key key : {Qt::Key_1, Qt::Key_Period, Qt::Key_Backspace, Qt::Key_Delete}) {
        QTest::keyClick(form.edtIP, key);
    }
    QTest::keyClick(form.edtIP, Qt::Key_V, Qt::ControlModifier);
    QTest::sendKeyEvent(QTest::Click, form.edtIP, Qt::Key_unknown, QStringLiteral("ж"),
                        Qt::NoModifier);
    EXPECT_EQ(form.edtIP->currentText(), QStringLiteral("192.168.0.5"));
    QTest::keyClick(form.edtIP, Qt::Key_Down);  // a choice from the list still works
    EXPECT_EQ(form.edtIP->currentText(), QStringLiteral("10.0.0.2"));
}

TEST_F(ChannelEditorTest, LeavingTheAddressFieldChecksItAndGovernsCreate) {
    show();
    form.editIP->setFocus();
    for (const char* bad : {"1.2.3", "<tq.1.2.3", ""}) {
        SCOPED_TRACE(bad);
        form.editIP->setText(QString::fromUtf8(bad));
        boxes.expect(BoxAnswer::Ok);
        QTest::keyClick(form.editIP, Qt::Key_Tab);
        ASSERT_FALSE(boxes.shown.empty());
        EXPECT_EQ(boxes.shown.back().text, text::kBadAddress);
        EXPECT_FALSE(form.btnAdd->isEnabled());
        EXPECT_TRUE(form.editIP->hasFocus());
    }
    form.editIP->setText(QStringLiteral("10.0.0.1"));
    QTest::keyClick(form.editIP, Qt::Key_Tab);
    EXPECT_TRUE(form.btnAdd->isEnabled());
    EXPECT_TRUE(form.comboCom->hasFocus());
    EXPECT_EQ(boxes.shown.size(), 3u);
    EXPECT_TRUE(errors.messages.empty());
}

TEST_F(ChannelEditorTest, ClosingTheDropDownListTakesThePairsOtherPortArrowKeysDoNot) {
    show();
    form.comboCom->setFocus();
    QTest::keyClick(form.comboCom, Qt::Key_Down);  // chosen without opening the list
    QCoreApplication::processEvents();
    EXPECT_EQ(form.comboCom->currentIndex(), 0);
    EXPECT_EQ(form.lblCom->text(), QString());

    form.comboCom->showPopup();
    QAbstractItemView* view = form.comboCom->view();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(view->window()));
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_Down);
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_COMPARE(form.lblCom->text(), QStringLiteral("COM15"));
    EXPECT_EQ(form.comboCom->currentText(), QStringLiteral("COM14"));
}

TEST_F(ChannelEditorTest, TheEditorFollowsClicksAndKeysInTheList) {
    for (int p = 0; p < 3; ++p) {
        store(p, 9000u + static_cast<std::uint32_t>(p), p);
    }
    show();
    QTreeWidgetItem* second = form.treePair->topLevelItem(1);
    QTest::mouseClick(form.treePair->viewport(), Qt::LeftButton, {},
                      form.treePair->visualItemRect(second).center());
    expectEditorShows("Канал №2", "10.0.0.1", 1, "9001", 1);
    QTest::keyClick(form.treePair, Qt::Key_Down);
    QCoreApplication::processEvents();
    expectEditorShows("Канал №3", "10.0.0.2", 2, "9002", 2);
    form.treePair->expandAll();
    QTest::keyClick(form.treePair, Qt::Key_Down);  // onto a child row: the editor stays
    expectEditorShows("Канал №3", "10.0.0.2", 2, "9002", 2);
}

}  // namespace
}  // namespace lan2com
