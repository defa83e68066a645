#pragma once

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
#include <functional>
#include <memory>
#include <string>

#include "app/lamp.h"
#include "channels/channel_table.h"
#include "channels/station_view.h"
#include "ui/channel_editor.h"
#include "ui/channel_list.h"
#include "ui/message_box.h"
#include "ui/radio_group.h"

namespace lan2com {

struct MainWindowOptions {
    // The boxes every message goes through; nullptr: the window's own QMessageBox boxes.
    MessageBoxes* boxes = nullptr;
};

// The main window: every control of the operator and the sixteen lamps. It builds them, shows
// what it is told, and asks before the program ends; what the controls do is wired from outside
// (the station) through their signals and the hooks below.
class MainWindow : public QWidget, public RelayView {
  public:
    static constexpr int kClientWidth = 637;
    static constexpr int kClientHeight = 364;
    static constexpr int kLampStep = 16;  // vertical distance between two lamps

    explicit MainWindow(MainWindowOptions options = {});
    ~MainWindow() override;

  private:
    std::unique_ptr<QtMessageBoxes> ownBoxes_;  // when no boxes are injected

  public:
    MessageBoxes& boxes;  // every message box of the program

    // ---- Controls, owned by the window; created here, set up by the constructor ----
    QLabel* lblTitle = new QLabel(this);  // "Список каналов"
    QTreeWidget* channelTree = new QTreeWidget(this);
    ChannelList channelList{channelTree};  // channelTree as a flat list of nodes
    QPushButton* createButton = new QPushButton(this);
    QPushButton* deleteButton = new QPushButton(this);
    QPushButton* applyButton = new QPushButton(this);
    QGroupBox* editorGroup = new QGroupBox(this);
    QLabel* lblIPSrc = new QLabel(editorGroup);    // "IP передатчика "
    QLabel* lblComIn = new QLabel(editorGroup);    // "-->Com"
    QLabel* lblComOut = new QLabel(editorGroup);   // "Com-->"
    QLabel* lblLocalIP = new QLabel(editorGroup);  // "IP ПК"
    QLabel* lblPort = new QLabel(editorGroup);     // "Порт ПК"
    QLineEdit* transceiverAddressEdit = new QLineEdit(editorGroup);
    QComboBox* comPortCombo = new QComboBox(editorGroup);
    QLabel* monitorPortLabel = new QLabel(editorGroup);
    QComboBox* localAddressCombo = new QComboBox(editorGroup);
    QLineEdit* receivePortEdit = new QLineEdit(editorGroup);
    RadioGroup* conversionGroup = new RadioGroup({"A->0", "0->A", "нет"}, this);
    QPlainTextEdit* diagnosticsLog = new QPlainTextEdit(this);
    QCheckBox* diagnosticsCheck = new QCheckBox(this);
    QLabel* recordCountLabel = new QLabel(this);
    QPushButton* clearLogButton = new QPushButton(this);
    QLabel* accountFilterLabel = new QLabel(this);
    QLineEdit* accountFilterEdit = new QLineEdit(this);

    // ---- Lamps of the sixteen channels: index s serves slot s (k1 = lamps[0]) ----
    std::array<ChannelLamp*, kSlots> lamps{};

    // ---- Handlers of the window ----
    // Shows the account filter, its label and the record counter while diagnosticsCheck is checked.
    void showDiagnosticsControls();
    // Asks whether the program may end; Yes marks the end confirmed, runs onExitConfirmed and
    // answers true. Once the end is confirmed it answers true without asking.
    bool confirmExit();
    bool exitConfirmed() const { return exitConfirmed_; }
    // The end was decided elsewhere (a termination request): the window closes without asking.
    void setExitConfirmed() { exitConfirmed_ = true; }
    // The controls of the channel editor.
    EditorControls editorControls();
    // Runs once, from the event loop right after the window was first shown.
    void startUp();

    std::function<void()> onFirstShown;     // start-up
    std::function<void()> onExitConfirmed;  // after exitConfirmed has been set

    // ---- RelayView ----
    void setLampColor(int slot, LampColor color) override;
    void setLampVisible(int slot, bool visible) override;
    void appendLogLine(const std::string& utf8) override;
    int logLineCount() const override;
    void clearLog() override;
    bool diagnosticsChecked() const override;
    void setDiagnosticsChecked(bool checked) override;
    std::string accountFilter() const override;
    void setRecordCount(const std::string& text) override;
    std::string timestamp() const override;

    static QColor lampColor(LampColor color);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void buildControls();
    void buildChannelColumn();
    void buildEditor();
    void buildDiagnostics();
    void placeLamps();
    void setFocusOrder();
    void centreOnScreen();

    bool shownOnce_ = false;
    bool closeQueryOpen_ = false;
    bool exitConfirmed_ = false;
};

}  // namespace lan2com
