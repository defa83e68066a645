#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/lamp.h"
#include "channels/channel_table.h"
#include "channels/config_store.h"
#include "channels/station_view.h"
#include "ui/channel_editor.h"
#include "ui/channel_list.h"
#include "ui/message_box.h"

namespace lan2com {

struct MainWindowOptions {
    // The boxes every message goes through; nullptr: the window's own QMessageBox boxes.
    MessageBoxes* boxes = nullptr;
};

// The main window: every control of the operator and the sixteen lamps. It builds them, shows
// what it is told, and asks before the program ends. Its widgets are its own: what the controls do
// is wired from outside, by the station through the hooks below and by the channel editor through
// editorControls().
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

    // ---- What the station shows in the controls and reads from them ----
    // The channel list (the tree "treePair") as a flat list of nodes.
    ChannelList& channelList();
    // Empties the port list, its edit text and the transceiver address, and lists this computer's
    // addresses in the local address field.
    void resetChannelFields(const std::vector<std::string>& localAddresses);
    // The discovered pairs as the items of the port list, with nothing chosen.
    void showPortPairs(const std::vector<ComboItem>& items);
    void setLocalAddress(const std::string& address);
    std::string localAddress() const;
    void setReceivePort(const std::string& port);
    std::string receivePort() const;
    void focusChannelList();
    // "Удалить" and "Применить" together.
    void setListButtonsEnabled(bool enabled);

    // ---- Handlers of the window ----
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
    std::function<void()> onApply;          // "Применить" clicked
    std::function<void()> onClearLog;       // "Очистить" clicked

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
    struct Controls;  // the widgets, created in the order they stack and take the focus

    void buildControls();
    void buildChannelColumn();
    void buildEditor();
    void buildDiagnostics();
    void placeLamps();
    void setFocusOrder();
    void centreOnScreen();
    // Shows the account filter, its label and the record counter while "Диагностика" is checked.
    void showDiagnosticsControls();

    std::unique_ptr<Controls> ui_;
    bool shownOnce_ = false;
    bool closeQueryOpen_ = false;
    bool exitConfirmed_ = false;
};

}  // namespace lan2com
