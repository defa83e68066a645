#include "app/main_window.h"

#include <QAbstractTextDocumentLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMetaObject>
#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTreeWidget>
#include <array>

#include "app/application.h"
#include "app/lamp.h"
#include "app/timestamp.h"
#include "ui/radio_group.h"

namespace lan2com {

namespace {

constexpr int kTreeRowHeight = 20;
constexpr int kRightArea = 248;  // left edge of the right area, after the lamp column
const QColor kBlue(0, 0, 255);
const QColor kRed(255, 0, 0);
const QColor kBlack(0, 0, 0);
constexpr int kTreeIndent = 19;

// Verdana where the system has it, otherwise the system's sans-serif face.
QFont captionFont(int points, bool bold = false) {
    QFont font;
    font.setFamilies(
        {QStringLiteral("Verdana"), QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(points);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget* widget, QPalette::ColorRole role, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
    widget->setPalette(palette);
}

// The list's rows are all of one height, whatever the font.
class FixedRowDelegate final : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(kTreeRowHeight);
        return size;
    }
};

QPushButton* flatButton(QPushButton* button, const QString& caption, const QColor& color,
                        int points) {
    button->setText(caption);
    button->setFlat(true);
    // Clicking a flat button leaves the keyboard focus where it is: an edit field keeps its
    // caret and is not left.
    button->setFocusPolicy(Qt::NoFocus);
    button->setFont(captionFont(points, true));
    setTextColor(button, QPalette::ButtonText, color);
    return button;
}

}  // namespace

// The window's widgets, in the order they are created: children stack in it, and it is their
// default focus order before setFocusOrder.
struct MainWindow::Controls {
    explicit Controls(QWidget* window) : window(window) {}

    QWidget* window;
    QLabel* channelListTitle = new QLabel(window);  // "Список каналов"
    QTreeWidget* channelTree = new QTreeWidget(window);
    ChannelList channelList{channelTree};  // channelTree as a flat list of nodes
    QPushButton* createButton = new QPushButton(window);
    QPushButton* deleteButton = new QPushButton(window);
    QPushButton* applyButton = new QPushButton(window);
    QGroupBox* editorGroup = new QGroupBox(window);
    QLabel* transceiverAddressLabel = new QLabel(editorGroup);  // "IP передатчика "
    QLabel* comPortCaption = new QLabel(editorGroup);           // "-->Com"
    QLabel* monitorPortCaption = new QLabel(editorGroup);       // "Com-->"
    QLabel* localAddressLabel = new QLabel(editorGroup);        // "IP ПК"
    QLabel* receivePortLabel = new QLabel(editorGroup);         // "Порт ПК"
    QLineEdit* transceiverAddressEdit = new QLineEdit(editorGroup);
    QComboBox* comPortCombo = new QComboBox(editorGroup);
    QLabel* monitorPortLabel = new QLabel(editorGroup);
    QComboBox* localAddressCombo = new QComboBox(editorGroup);
    QLineEdit* receivePortEdit = new QLineEdit(editorGroup);
    RadioGroup* conversionGroup = new RadioGroup({"A->0", "0->A", "нет"}, window);
    QPlainTextEdit* diagnosticsLog = new QPlainTextEdit(window);
    QCheckBox* diagnosticsCheck = new QCheckBox(window);
    QLabel* recordCountLabel = new QLabel(window);
    QPushButton* clearLogButton = new QPushButton(window);
    QLabel* accountFilterLabel = new QLabel(window);
    QLineEdit* accountFilterEdit = new QLineEdit(window);

    // Lamps of the sixteen channels: index s serves slot s (k1 = lamps[0]).
    std::array<ChannelLamp*, kSlots> lamps{};
};

MainWindow::MainWindow(MainWindowOptions options)
    : QWidget(nullptr),
      ownBoxes_(options.boxes == nullptr ? std::make_unique<QtMessageBoxes>(this) : nullptr),
      boxes(options.boxes != nullptr ? *options.boxes : *ownBoxes_),
      ui_(std::make_unique<Controls>(this)) {
    setObjectName(QStringLiteral("S_Form"));
    setWindowTitle(QStringLiteral("Велтар  ЛВС->виртуальный Com-порт"));
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(captionFont(10));
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, palette.color(QPalette::Button));
    setPalette(palette);
    setAutoFillBackground(true);

    for (int s = 0; s < kSlots; ++s) {
        ui_->lamps[static_cast<std::size_t>(s)] = new ChannelLamp(this);
        ui_->lamps[static_cast<std::size_t>(s)]->setObjectName(QStringLiteral("k%1").arg(s + 1));
    }

    buildControls();
    placeLamps();
    setFocusOrder();
    centreOnScreen();
}

MainWindow::~MainWindow() = default;

void MainWindow::buildControls() {
    buildChannelColumn();
    buildEditor();
    buildDiagnostics();
}

// The left column: title, channel list, buttons.
void MainWindow::buildChannelColumn() {
    ui_->channelListTitle->setObjectName(QStringLiteral("lblTitle"));
    ui_->channelListTitle->setText(QStringLiteral("Список каналов"));
    ui_->channelListTitle->setFont(captionFont(12, true));
    ui_->channelListTitle->setAlignment(Qt::AlignCenter);
    ui_->channelListTitle->setGeometry(8, 4, 214, 24);

    ui_->channelTree->setObjectName(QStringLiteral("treePair"));
    ui_->channelTree->setGeometry(8, 30, 214, 260);
    ui_->channelTree->setColumnCount(1);
    ui_->channelTree->setHeaderHidden(true);
    ui_->channelTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui_->channelTree->setSelectionMode(QAbstractItemView::SingleSelection);
    ui_->channelTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    ui_->channelTree->setAllColumnsShowFocus(true);
    ui_->channelTree->setIndentation(kTreeIndent);
    ui_->channelTree->setUniformRowHeights(true);
    ui_->channelTree->setItemDelegate(new FixedRowDelegate(ui_->channelTree));
    ui_->channelTree->setFont(captionFont(12));
    ui_->channelTree->setFocusPolicy(Qt::StrongFocus);
    {
        QPalette p = ui_->channelTree->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        ui_->channelTree->setPalette(p);
    }

    ui_->createButton->setObjectName(QStringLiteral("btnAdd"));
    flatButton(ui_->createButton, QStringLiteral("Создать"), kBlack, 14);
    ui_->createButton->setGeometry(8, 294, 105, 32);

    ui_->deleteButton->setObjectName(QStringLiteral("btnDel"));
    flatButton(ui_->deleteButton, QStringLiteral("Удалить"), kRed, 14);
    ui_->deleteButton->setGeometry(117, 294, 105, 32);
    ui_->deleteButton->setEnabled(false);

    ui_->applyButton->setObjectName(QStringLiteral("btnApply"));
    flatButton(ui_->applyButton, QStringLiteral("Применить"), kBlue, 14);
    ui_->applyButton->setGeometry(8, 328, 214, 32);
    QObject::connect(ui_->applyButton, &QPushButton::clicked, this, [this](bool) {
        if (onApply) {
            onApply();
        }
    });
}

// The channel editor and the conversion group, at the top of the right area.
void MainWindow::buildEditor() {
    const int right = kRightArea;
    ui_->editorGroup->setObjectName(QStringLiteral("chanel"));
    ui_->editorGroup->setTitle(QString());
    ui_->editorGroup->setFlat(true);
    ui_->editorGroup->setGeometry(right, 2, 306, 104);

    const QString hintSource = QStringLiteral("IP-адрес трансивера БПС");
    const QString hintComIn = QStringLiteral("Виртуальный Сом-порт приложения");
    const QString hintComOut = QStringLiteral("Виртуальный Сом-порт ПО ЦПС");

    ui_->transceiverAddressLabel->setObjectName(QStringLiteral("lblIPSrc"));
    ui_->transceiverAddressLabel->setText(QStringLiteral("IP передатчика "));
    ui_->transceiverAddressLabel->setToolTip(hintSource);
    ui_->transceiverAddressLabel->setGeometry(6, 20, 128, 20);

    ui_->comPortCaption->setObjectName(QStringLiteral("lblComIn"));
    ui_->comPortCaption->setText(QStringLiteral("-->Com"));
    ui_->comPortCaption->setToolTip(hintComIn);
    ui_->comPortCaption->setGeometry(138, 20, 84, 20);

    ui_->monitorPortCaption->setObjectName(QStringLiteral("lblComOut"));
    ui_->monitorPortCaption->setText(QStringLiteral("Com-->"));
    ui_->monitorPortCaption->setToolTip(hintComOut);
    ui_->monitorPortCaption->setGeometry(226, 20, 74, 20);

    ui_->transceiverAddressEdit->setObjectName(QStringLiteral("editIP"));
    ui_->transceiverAddressEdit->setText(QStringLiteral("255.255.255.255"));
    ui_->transceiverAddressEdit->setToolTip(hintSource);
    ui_->transceiverAddressEdit->setGeometry(6, 42, 128, 24);
    {
        QPalette p = ui_->transceiverAddressEdit->palette();
        p.setColor(QPalette::Base, Qt::white);
        ui_->transceiverAddressEdit->setPalette(p);
    }

    ui_->comPortCombo->setObjectName(QStringLiteral("comboCom"));
    ui_->comPortCombo->setEditable(true);
    ui_->comPortCombo->setCompleter(nullptr);
    // Typing never adds an item: an item's index is the index of its pair in the pair table.
    ui_->comPortCombo->setInsertPolicy(QComboBox::NoInsert);
    ui_->comPortCombo->addItems(
        {QStringLiteral("com10"), QStringLiteral("com12"), QStringLiteral("com14")});
    ui_->comPortCombo->setCurrentIndex(-1);
    ui_->comPortCombo->setToolTip(hintComIn);
    ui_->comPortCombo->setGeometry(138, 42, 84, 24);

    ui_->monitorPortLabel->setObjectName(QStringLiteral("lblCom"));
    ui_->monitorPortLabel->setToolTip(hintComOut);
    setTextColor(ui_->monitorPortLabel, QPalette::WindowText, kBlue);
    ui_->monitorPortLabel->setGeometry(226, 42, 74, 24);

    ui_->localAddressLabel->setObjectName(QStringLiteral("lblLocalIP"));
    ui_->localAddressLabel->setText(QStringLiteral("IP ПК"));
    ui_->localAddressLabel->setGeometry(6, 74, 40, 24);

    ui_->localAddressCombo->setObjectName(QStringLiteral("edtIP"));
    ui_->localAddressCombo->setEditable(true);
    ui_->localAddressCombo->setCompleter(nullptr);
    ui_->localAddressCombo->setInsertPolicy(QComboBox::NoInsert);
    ui_->localAddressCombo->setGeometry(46, 74, 140, 24);

    ui_->receivePortLabel->setObjectName(QStringLiteral("lblPort"));
    ui_->receivePortLabel->setText(QStringLiteral("Порт ПК"));
    ui_->receivePortLabel->setGeometry(190, 74, 58, 24);

    ui_->receivePortEdit->setObjectName(QStringLiteral("PortIn"));
    ui_->receivePortEdit->setMaxLength(5);
    ui_->receivePortEdit->setGeometry(250, 74, 50, 24);

    ui_->conversionGroup->setObjectName(QStringLiteral("cnvrtRG"));
    ui_->conversionGroup->setTitle(QString());
    ui_->conversionGroup->setGeometry(right + 310, 8, 629 - (right + 310), 98);
    ui_->conversionGroup->setCheckedIndex(0);
}

// The diagnostics log and its controls, below the editor.
void MainWindow::buildDiagnostics() {
    const int right = kRightArea;
    ui_->diagnosticsLog->setObjectName(QStringLiteral("VirtualComList"));
    ui_->diagnosticsLog->setReadOnly(true);
    ui_->diagnosticsLog->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                                 Qt::TextSelectableByKeyboard);
    ui_->diagnosticsLog->setFocusPolicy(Qt::StrongFocus);
    ui_->diagnosticsLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ui_->diagnosticsLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    ui_->diagnosticsLog->setFont(captionFont(10));
    {
        QPalette p = ui_->diagnosticsLog->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        ui_->diagnosticsLog->setPalette(p);
    }
    ui_->diagnosticsLog->setGeometry(right, 110, 629 - right, 190);
    // The memo counts its displayed lines before the window is first shown as well: give it its
    // size now, not only when the pending resize is delivered at show.
    // (The memo lays its text out at its viewport's width, which it learns from both events.)
    {
        QResizeEvent memo(ui_->diagnosticsLog->size(), QSize());
        QCoreApplication::sendEvent(ui_->diagnosticsLog, &memo);
        QResizeEvent viewport(ui_->diagnosticsLog->viewport()->size(), QSize());
        QCoreApplication::sendEvent(ui_->diagnosticsLog->viewport(), &viewport);
    }

    ui_->diagnosticsCheck->setObjectName(QStringLiteral("DiagCB"));
    ui_->diagnosticsCheck->setText(QStringLiteral("Диагностика"));
    ui_->diagnosticsCheck->setChecked(false);
    ui_->diagnosticsCheck->setGeometry(right, 304, 140, 26);
    QObject::connect(ui_->diagnosticsCheck, &QCheckBox::toggled, this,
                     [this](bool) { showDiagnosticsControls(); });

    ui_->recordCountLabel->setObjectName(QStringLiteral("recCnt"));
    ui_->recordCountLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ui_->recordCountLabel->setFont(captionFont(14, true));
    setTextColor(ui_->recordCountLabel, QPalette::WindowText, kBlue);
    ui_->recordCountLabel->setGeometry(right + 146, 304, 120, 26);

    ui_->clearLogButton->setObjectName(QStringLiteral("DelRec"));
    flatButton(ui_->clearLogButton, QStringLiteral("Очистить"), kRed, 12);
    ui_->clearLogButton->setGeometry(right + 276, 302, 629 - (right + 276), 30);
    QObject::connect(ui_->clearLogButton, &QPushButton::clicked, this, [this](bool) {
        if (onClearLog) {
            onClearLog();
        }
    });

    ui_->accountFilterLabel->setObjectName(QStringLiteral("lblFltr"));
    ui_->accountFilterLabel->setText(QStringLiteral("Фильтр по идентификатору ППК"));
    ui_->accountFilterLabel->setGeometry(right, 336, 260, 24);
    ui_->accountFilterLabel->hide();

    ui_->accountFilterEdit->setObjectName(QStringLiteral("Accnt"));
    ui_->accountFilterEdit->setMaxLength(5);
    ui_->accountFilterEdit->setGeometry(right + 266, 336, 70, 24);
    ui_->accountFilterEdit->hide();
}

void MainWindow::placeLamps() {
    // One column right beside the list, k1 level with the list's top edge.
    const QRect list = ui_->channelTree->geometry();
    for (int s = 0; s < kSlots; ++s) {
        ui_->lamps[static_cast<std::size_t>(s)]->move(list.right() + 3, list.top() + s * kLampStep);
    }
}

void MainWindow::setFocusOrder() {
    const QList<QWidget*> chain = {ui_->diagnosticsLog,
                                   ui_->channelTree,
                                   ui_->accountFilterEdit,
                                   ui_->diagnosticsCheck,
                                   ui_->transceiverAddressEdit,
                                   ui_->comPortCombo,
                                   ui_->localAddressCombo,
                                   ui_->receivePortEdit,
                                   ui_->conversionGroup->button(0),
                                   ui_->conversionGroup->button(1),
                                   ui_->conversionGroup->button(2)};
    for (int i = 0; i + 1 < chain.size(); ++i) {
        QWidget::setTabOrder(chain[i], chain[i + 1]);
    }
    for (QWidget* label : {static_cast<QWidget*>(ui_->channelListTitle),
                           static_cast<QWidget*>(ui_->monitorPortLabel),
                           static_cast<QWidget*>(ui_->recordCountLabel),
                           static_cast<QWidget*>(ui_->accountFilterLabel)}) {
        label->setFocusPolicy(Qt::NoFocus);
    }
    ui_->editorGroup->setFocusPolicy(Qt::NoFocus);
    ui_->conversionGroup->setFocusPolicy(Qt::NoFocus);
}

void MainWindow::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

EditorControls MainWindow::editorControls() {
    EditorControls c;
    c.editorGroup = ui_->editorGroup;
    c.channelTree = ui_->channelTree;
    c.channelList = &ui_->channelList;
    c.createButton = ui_->createButton;
    c.deleteButton = ui_->deleteButton;
    c.applyButton = ui_->applyButton;
    c.transceiverAddressEdit = ui_->transceiverAddressEdit;
    c.comPortCombo = ui_->comPortCombo;
    c.monitorPortLabel = ui_->monitorPortLabel;
    c.localAddressCombo = ui_->localAddressCombo;
    c.receivePortEdit = ui_->receivePortEdit;
    c.accountFilterEdit = ui_->accountFilterEdit;
    c.conversionGroup = ui_->conversionGroup;
    return c;
}

// ---- What the station shows and reads ----

ChannelList& MainWindow::channelList() {
    return ui_->channelList;
}

void MainWindow::resetChannelFields(const std::vector<std::string>& localAddresses) {
    ui_->comPortCombo->clear();
    ui_->comPortCombo->setEditText(QString());
    ui_->transceiverAddressEdit->clear();
    ui_->localAddressCombo->clear();
    for (const std::string& address : localAddresses) {
        ui_->localAddressCombo->addItem(QString::fromStdString(address));
    }
}

void MainWindow::showPortPairs(const std::vector<ComboItem>& items) {
    for (const ComboItem& item : items) {
        ui_->comPortCombo->addItem(QString::fromStdString(item.text), item.index);
    }
    ui_->comPortCombo->setCurrentIndex(-1);
    ui_->comPortCombo->setEditText(QString());
}

void MainWindow::setLocalAddress(const std::string& address) {
    ui_->localAddressCombo->setEditText(QString::fromStdString(address));
}

std::string MainWindow::localAddress() const {
    return ui_->localAddressCombo->currentText().toStdString();
}

void MainWindow::setReceivePort(const std::string& port) {
    ui_->receivePortEdit->setText(QString::fromStdString(port));
}

std::string MainWindow::receivePort() const {
    return ui_->receivePortEdit->text().toStdString();
}

void MainWindow::focusChannelList() {
    ui_->channelTree->setFocus();
}

void MainWindow::setListButtonsEnabled(bool enabled) {
    ui_->deleteButton->setEnabled(enabled);
    ui_->applyButton->setEnabled(enabled);
}

// ---- Handlers ----

void MainWindow::showDiagnosticsControls() {
    const bool checked = ui_->diagnosticsCheck->isChecked();
    ui_->accountFilterEdit->setVisible(checked);
    ui_->accountFilterLabel->setVisible(checked);
    ui_->recordCountLabel->setVisible(checked);
}

bool MainWindow::confirmExit() {
    if (exitConfirmed_) {
        return true;  // the end was confirmed already
    }
    if (closeQueryOpen_) {
        return false;  // the question is already being asked
    }
    closeQueryOpen_ = true;
    BoxRequest request;
    request.title = "Завершение работы";
    request.text = "Завершить работу приложения?";
    request.buttons = BoxButtons::YesNo;
    request.icon = BoxIcon::Question;
    request.defaultButton = BoxAnswer::No;
    request.stayOnTop = true;
    BoxAnswer answer = BoxAnswer::No;
    try {
        answer = boxes.show(request);
    } catch (...) {
        closeQueryOpen_ = false;
        throw;
    }
    closeQueryOpen_ = false;
    if (answer != BoxAnswer::Yes) {
        return false;
    }
    exitConfirmed_ = true;
    if (onExitConfirmed) {
        onExitConfirmed();
    }
    return true;
}

void MainWindow::startUp() {
    if (onFirstShown) {
        onFirstShown();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    // Refuse first: should the question fail, the window stays.
    event->ignore();
    if (confirmExit()) {
        event->accept();
    }
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shownOnce_ && !event->spontaneous()) {
        shownOnce_ = true;
        // From the event loop, once the window is on the screen: a failure in start-up is then
        // reported with the window shown.
        QMetaObject::invokeMethod(
            this, [this] { startUp(); }, Qt::QueuedConnection);
    }
}

// ---- RelayView ----

QColor MainWindow::lampColor(LampColor color) {
    switch (color) {
        case LampColor::Lime:
            return QColor(0, 255, 0);
        case LampColor::Yellow:
            return QColor(255, 255, 0);
        case LampColor::Teal:
            return QColor(0, 128, 128);
        case LampColor::Red:
            return QColor(255, 0, 0);
    }
    return QColor(255, 0, 0);
}

void MainWindow::setLampColor(int slot, LampColor color) {
    ui_->lamps.at(static_cast<std::size_t>(slot))->setColor(lampColor(color));
}

void MainWindow::setLampVisible(int slot, bool visible) {
    ui_->lamps.at(static_cast<std::size_t>(slot))->setVisible(visible);
}

void MainWindow::appendLogLine(const std::string& utf8) {
    ui_->diagnosticsLog->appendPlainText(QString::fromStdString(utf8));
}

int MainWindow::logLineCount() const {
    QTextDocument* document = ui_->diagnosticsLog->document();
    auto* layout = qobject_cast<QPlainTextDocumentLayout*>(document->documentLayout());
    if (layout == nullptr) {
        return document->blockCount();
    }
    // The memo lays its lines out lazily, only as they come into view: lay out every paragraph
    // that has not been yet, at the width the memo shows it.
    int lines = 0;
    QTextBlock last;
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        layout->blockBoundingRect(block);
        lines += std::max(1, block.layout()->lineCount());
        last = block;
    }
    if (last.isValid() && last.text().isEmpty()) {
        lines -= 1;  // a trailing empty line is not a line of the log
    }
    return lines;
}

void MainWindow::clearLog() {
    ui_->diagnosticsLog->clear();
}

bool MainWindow::diagnosticsChecked() const {
    return ui_->diagnosticsCheck->isChecked();
}

void MainWindow::setDiagnosticsChecked(bool checked) {
    if (ui_->diagnosticsCheck->isChecked() != checked) {
        ui_->diagnosticsCheck->setChecked(checked);  // runs showDiagnosticsControls
    } else {
        showDiagnosticsControls();
    }
}

std::string MainWindow::accountFilter() const {
    return ui_->accountFilterEdit->text().toStdString();
}

void MainWindow::setRecordCount(const std::string& text) {
    ui_->recordCountLabel->setText(QString::fromStdString(text));
}

std::string MainWindow::timestamp() const {
    return timestampText(QDateTime::currentDateTime(), QLocale::system()).toStdString();
}

}  // namespace lan2com
