#pragma once

#include <QObject>
#include <QPointer>
#include <QString>
#include <cstdint>
#include <optional>

#include "channels/channel_table.h"
#include "platform/error_report.h"
#include "ui/channel_list.h"
#include "ui/channel_rules.h"
#include "ui/message_box.h"
#include "ui/radio_group.h"

class QComboBox;
class QEvent;
class QGroupBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace lan2com {

// The controls of the main window that the channel editor works with. The window owns them.
struct EditorControls {
    QGroupBox* editorGroup = nullptr;  // caption: header text of the selected channel
    QTreeWidget* channelTree = nullptr;
    ChannelList* channelList = nullptr;           // channelTree as a flat list of nodes
    QPushButton* createButton = nullptr;          // "Создать"
    QPushButton* deleteButton = nullptr;          // "Удалить"
    QPushButton* applyButton = nullptr;           // "Применить"
    QLineEdit* transceiverAddressEdit = nullptr;  // transceiver address
    QComboBox* comPortCombo = nullptr;            // application-side port; item i is portPairs[i]
    QLabel* monitorPortLabel = nullptr;           // monitoring-side port of the chosen pair
    QComboBox* localAddressCombo = nullptr;  // this computer's address, chosen from its list only
    QLineEdit* receivePortEdit = nullptr;    // receive port
    QLineEdit* accountFilterEdit = nullptr;  // account filter of the diagnostics log
    RadioGroup* conversionGroup = nullptr;   // conversion mode
};

// Editing of the channel list and the checks on what the operator types: selection shows a
// channel in the editor fields, "Создать" adds the channel they describe, "Удалить" removes the
// selected one. Changes go to the channel list and the channel table only; nothing is stored or
// activated here (Apply does that).
//
// The constructor wires the controls: clicks and keys in the list, the closing of comPortCombo's
// drop-down list, the two buttons, leaving transceiverAddressEdit, and the key filters of
// transceiverAddressEdit, receivePortEdit, accountFilterEdit and localAddressCombo. A failure
// escaping a wired handler goes to the error report and the window goes on; the public handlers
// themselves let failures through to their caller.
class ChannelEditor final : public QObject {
  public:
    ChannelEditor(const EditorControls& controls, SharedState& state, MessageBoxes& boxes,
                  ErrorReport& errors);
    ~ChannelEditor() override;
    ChannelEditor(const ChannelEditor&) = delete;
    ChannelEditor& operator=(const ChannelEditor&) = delete;

    // Shows the channel whose header is selected in the editor fields; a selected child row
    // changes nothing.
    void showSelectedChannel();
    // comPortCombo's drop-down list closed: the chosen pair's monitoring-side port goes to
    // monitorPortLabel.
    void showChosenPair();
    // Creates the channel that the editor fields describe, or refuses with a message. A receive
    // port that is not a decimal integer raises ConvertError.
    void createChannel();
    // Deletes the channel whose header is selected (the slot it shows, wherever it is listed).
    void deleteSelectedChannel();
    // The focus left transceiverAddressEdit: checks the address and enables or disables "Создать".
    void checkTransceiverAddress();
    // Deletes the channel of a table slot: through the list when a group shows the slot,
    // otherwise (the channel's pair was not found at start-up) from the table alone.
    void deleteSlot(int slot);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void finishDeletion();
    void refuse(const char* text);
    // Runs a handler; a failure escaping it goes to the error report.
    template <typename F>
    void guarded(F&& handler);
    bool filterSetIPKey(QKeyEvent* key);
    bool filterLocalAddressKey(QKeyEvent* key);
    void connectControls();

    EditorControls c_;
    SharedState& state_;
    MessageBoxes& boxes_;
    ErrorReport& errors_;
    QPointer<QWidget> comboPopup_;  // the window of comPortCombo's drop-down list
};

}  // namespace lan2com
