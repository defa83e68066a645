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

#include "app/error_box.h"
#include "app/lamp.h"
#include "channels/channel_table.h"
#include "channels/station_view.h"
#include "ui/channel_list.h"
#include "ui/message_box.h"
#include "ui/radio_group.h"

namespace lan2com {

struct TS_FormOptions {
    // The boxes every message goes through; nullptr: the window's own QMessageBox boxes.
    MessageBoxes* boxes = nullptr;
    // The caption of the error report's boxes: the application's title.
    std::string title = "lan2com";
};

// The main window S_Form: every control of the operator, the sixteen lamps,
// and the state that the whole program shares. The controls are public and named as the rest of
// the program knows them; the behaviour behind them is wired from outside through their signals
// and the hooks below.
class TS_Form : public QWidget, public RelayView {
  public:
    static constexpr int kClientWidth = 637;
    static constexpr int kClientHeight = 364;
    static constexpr int kLampStep = 16;  // vertical distance between two lamps

    explicit TS_Form(TS_FormOptions options = {});
    ~TS_Form() override;

  private:
    std::unique_ptr<QtMessageBoxes> ownBoxes_;  // when no boxes are injected

  public:
    MessageBoxes& boxes;    // every message box of the program
    BoxErrorReport errors;  // the default error report
    SharedState state;      // channel table, pair table, acknowledgement states, AppExit, n

    // ---- Controls, owned by the window; created here, set up by the constructor ----
    QLabel* lblTitle = new QLabel(this);  // "Список каналов"
    QTreeWidget* treePair = new QTreeWidget(this);
    ChannelList channelList{treePair};  // treePair as a flat list of nodes
    QPushButton* btnAdd = new QPushButton(this);
    QPushButton* btnDel = new QPushButton(this);
    QPushButton* btnApply = new QPushButton(this);
    QGroupBox* chanel = new QGroupBox(this);
    QLabel* lblIPSrc = new QLabel(chanel);    // "IP передатчика "
    QLabel* lblComIn = new QLabel(chanel);    // "-->Com"
    QLabel* lblComOut = new QLabel(chanel);   // "Com-->"
    QLabel* lblLocalIP = new QLabel(chanel);  // "IP ПК"
    QLabel* lblPort = new QLabel(chanel);     // "Порт ПК"
    QLineEdit* editIP = new QLineEdit(chanel);
    QComboBox* comboCom = new QComboBox(chanel);
    QLabel* lblCom = new QLabel(chanel);
    QComboBox* edtIP = new QComboBox(chanel);
    QLineEdit* PortIn = new QLineEdit(chanel);
    TRadioGroup* cnvrtRG = new TRadioGroup({"A->0", "0->A", "нет"}, this);
    QPlainTextEdit* VirtualComList = new QPlainTextEdit(this);
    QCheckBox* DiagCB = new QCheckBox(this);
    QLabel* recCnt = new QLabel(this);
    QPushButton* DelRec = new QPushButton(this);
    QLabel* lblFltr = new QLabel(this);
    QLineEdit* Accnt = new QLineEdit(this);

    // ---- Lamps of the sixteen channels: index s serves slot s (k1 = k[0]) ----
    std::array<ChannelLamp*, kSlots> k{};

    // ---- Handlers of the window ----
    // Shows the account filter, its label and the record counter while DiagCB is checked.
    void DiagCBClick();
    // Asks whether the program may end; Yes sets AppExit, runs onExitConfirmed and answers true.
    bool FormCloseQuery();
    // Runs once, from the event loop right after the window was first shown.
    void FormShow();

    std::function<void()> onFormShow;       // start-up
    std::function<void()> onExitConfirmed;  // after AppExit has been set

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
    void placeLamps();
    void setFocusOrder();
    void centreOnScreen();

    bool shownOnce_ = false;
    bool closeQueryOpen_ = false;
};

}  // namespace lan2com
