#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QWidget>
#include <array>
#include <stdexcept>
#include <string>

#include "app/lamp.h"
#include "channels/channel_table.h"
#include "ui/channel_list.h"
#include "ui/radio_group.h"

namespace lan2com::testing {

// The main window's controls, found once by their object names, as a test reaches them. A control
// that is missing, or is not of the expected kind, fails the test that looks for it.
struct WindowControls {
    explicit WindowControls(QWidget& window) : window_(window) {}

    template <typename T>
    T* find(const char* name) {
        T* control = nullptr;
        const QList<QWidget*> found = window_.findChildren<QWidget*>(QString::fromLatin1(name));
        if (found.size() == 1) {
            control = dynamic_cast<T*>(found.front());
        }
        if (control == nullptr) {
            const std::string what = std::string("the window has no single control \"") + name +
                                     "\" of the expected kind (" + std::to_string(found.size()) +
                                     " by that name)";
            ADD_FAILURE() << what;
            throw std::logic_error(what);
        }
        return control;
    }

  private:
    QWidget& window_;

  public:
    QLabel* channelListTitle = find<QLabel>("lblTitle");
    QTreeWidget* channelTree = find<QTreeWidget>("treePair");
    ChannelList channelList{channelTree};
    QPushButton* createButton = find<QPushButton>("btnAdd");
    QPushButton* deleteButton = find<QPushButton>("btnDel");
    QPushButton* applyButton = find<QPushButton>("btnApply");
    QGroupBox* editorGroup = find<QGroupBox>("chanel");
    QLabel* transceiverAddressLabel = find<QLabel>("lblIPSrc");
    QLabel* comPortCaption = find<QLabel>("lblComIn");
    QLabel* monitorPortCaption = find<QLabel>("lblComOut");
    QLabel* localAddressLabel = find<QLabel>("lblLocalIP");
    QLabel* receivePortLabel = find<QLabel>("lblPort");
    QLineEdit* transceiverAddressEdit = find<QLineEdit>("editIP");
    QComboBox* comPortCombo = find<QComboBox>("comboCom");
    QLabel* monitorPortLabel = find<QLabel>("lblCom");
    QComboBox* localAddressCombo = find<QComboBox>("edtIP");
    QLineEdit* receivePortEdit = find<QLineEdit>("PortIn");
    RadioGroup* conversionGroup = find<RadioGroup>("cnvrtRG");
    QPlainTextEdit* diagnosticsLog = find<QPlainTextEdit>("VirtualComList");
    QCheckBox* diagnosticsCheck = find<QCheckBox>("DiagCB");
    QLabel* recordCountLabel = find<QLabel>("recCnt");
    QPushButton* clearLogButton = find<QPushButton>("DelRec");
    QLabel* accountFilterLabel = find<QLabel>("lblFltr");
    QLineEdit* accountFilterEdit = find<QLineEdit>("Accnt");
    // k1 … k16: index s is the lamp of slot s.
    std::array<ChannelLamp*, kSlots> lamps = findLamps();

  private:
    std::array<ChannelLamp*, kSlots> findLamps() {
        std::array<ChannelLamp*, kSlots> lamps{};
        for (int s = 0; s < kSlots; ++s) {
            const std::string name = "k" + std::to_string(s + 1);
            lamps[static_cast<std::size_t>(s)] = find<ChannelLamp>(name.c_str());
        }
        return lamps;
    }
};

}  // namespace lan2com::testing
