#include "app/main_window.h"

#include <QAbstractTextDocumentLayout>
#include <QCloseEvent>
#include <QDateTime>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLocale>
#include <QMetaObject>
#include <QPlainTextDocumentLayout>
#include <QResizeEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTextBlock>

#include "app/application.h"
#include "app/timestamp.h"

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

MainWindow::MainWindow(MainWindowOptions options)
    : QWidget(nullptr),
      ownBoxes_(options.boxes == nullptr ? std::make_unique<QtMessageBoxes>(this) : nullptr),
      boxes(options.boxes != nullptr ? *options.boxes : *ownBoxes_) {
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
        lamps[static_cast<std::size_t>(s)] = new ChannelLamp(this);
        lamps[static_cast<std::size_t>(s)]->setObjectName(QStringLiteral("k%1").arg(s + 1));
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
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setText(QStringLiteral("Список каналов"));
    lblTitle->setFont(captionFont(12, true));
    lblTitle->setAlignment(Qt::AlignCenter);
    lblTitle->setGeometry(8, 4, 214, 24);

    channelTree->setObjectName(QStringLiteral("treePair"));
    channelTree->setGeometry(8, 30, 214, 260);
    channelTree->setColumnCount(1);
    channelTree->setHeaderHidden(true);
    channelTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    channelTree->setSelectionMode(QAbstractItemView::SingleSelection);
    channelTree->setSelectionBehavior(QAbstractItemView::SelectRows);
    channelTree->setAllColumnsShowFocus(true);
    channelTree->setIndentation(kTreeIndent);
    channelTree->setUniformRowHeights(true);
    channelTree->setItemDelegate(new FixedRowDelegate(channelTree));
    channelTree->setFont(captionFont(12));
    channelTree->setFocusPolicy(Qt::StrongFocus);
    {
        QPalette p = channelTree->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        channelTree->setPalette(p);
    }

    createButton->setObjectName(QStringLiteral("btnAdd"));
    flatButton(createButton, QStringLiteral("Создать"), kBlack, 14);
    createButton->setGeometry(8, 294, 105, 32);

    deleteButton->setObjectName(QStringLiteral("btnDel"));
    flatButton(deleteButton, QStringLiteral("Удалить"), kRed, 14);
    deleteButton->setGeometry(117, 294, 105, 32);
    deleteButton->setEnabled(false);

    applyButton->setObjectName(QStringLiteral("btnApply"));
    flatButton(applyButton, QStringLiteral("Применить"), kBlue, 14);
    applyButton->setGeometry(8, 328, 214, 32);
}

// The channel editor and the conversion group, at the top of the right area.
void MainWindow::buildEditor() {
    const int right = kRightArea;
    editorGroup->setObjectName(QStringLiteral("chanel"));
    editorGroup->setTitle(QString());
    editorGroup->setFlat(true);
    editorGroup->setGeometry(right, 2, 306, 104);

    const QString hintSource = QStringLiteral("IP-адрес трансивера БПС");
    const QString hintComIn = QStringLiteral("Виртуальный Сом-порт приложения");
    const QString hintComOut = QStringLiteral("Виртуальный Сом-порт ПО ЦПС");

    lblIPSrc->setObjectName(QStringLiteral("lblIPSrc"));
    lblIPSrc->setText(QStringLiteral("IP передатчика "));
    lblIPSrc->setToolTip(hintSource);
    lblIPSrc->setGeometry(6, 20, 128, 20);

    lblComIn->setObjectName(QStringLiteral("lblComIn"));
    lblComIn->setText(QStringLiteral("-->Com"));
    lblComIn->setToolTip(hintComIn);
    lblComIn->setGeometry(138, 20, 84, 20);

    lblComOut->setObjectName(QStringLiteral("lblComOut"));
    lblComOut->setText(QStringLiteral("Com-->"));
    lblComOut->setToolTip(hintComOut);
    lblComOut->setGeometry(226, 20, 74, 20);

    transceiverAddressEdit->setObjectName(QStringLiteral("editIP"));
    transceiverAddressEdit->setText(QStringLiteral("255.255.255.255"));
    transceiverAddressEdit->setToolTip(hintSource);
    transceiverAddressEdit->setGeometry(6, 42, 128, 24);
    {
        QPalette p = transceiverAddressEdit->palette();
        p.setColor(QPalette::Base, Qt::white);
        transceiverAddressEdit->setPalette(p);
    }

    comPortCombo->setObjectName(QStringLiteral("comboCom"));
    comPortCombo->setEditable(true);
    comPortCombo->setCompleter(nullptr);
    // Typing never adds an item: an item's index is the index of its pair in the pair table.
    comPortCombo->setInsertPolicy(QComboBox::NoInsert);
    comPortCombo->addItems(
        {QStringLiteral("com10"), QStringLiteral("com12"), QStringLiteral("com14")});
    comPortCombo->setCurrentIndex(-1);
    comPortCombo->setToolTip(hintComIn);
    comPortCombo->setGeometry(138, 42, 84, 24);

    monitorPortLabel->setObjectName(QStringLiteral("lblCom"));
    monitorPortLabel->setToolTip(hintComOut);
    setTextColor(monitorPortLabel, QPalette::WindowText, kBlue);
    monitorPortLabel->setGeometry(226, 42, 74, 24);

    lblLocalIP->setObjectName(QStringLiteral("lblLocalIP"));
    lblLocalIP->setText(QStringLiteral("IP ПК"));
    lblLocalIP->setGeometry(6, 74, 40, 24);

    localAddressCombo->setObjectName(QStringLiteral("edtIP"));
    localAddressCombo->setEditable(true);
    localAddressCombo->setCompleter(nullptr);
    localAddressCombo->setInsertPolicy(QComboBox::NoInsert);
    localAddressCombo->setGeometry(46, 74, 140, 24);

    lblPort->setObjectName(QStringLiteral("lblPort"));
    lblPort->setText(QStringLiteral("Порт ПК"));
    lblPort->setGeometry(190, 74, 58, 24);

    receivePortEdit->setObjectName(QStringLiteral("PortIn"));
    receivePortEdit->setMaxLength(5);
    receivePortEdit->setGeometry(250, 74, 50, 24);

    conversionGroup->setObjectName(QStringLiteral("cnvrtRG"));
    conversionGroup->setTitle(QString());
    conversionGroup->setGeometry(right + 310, 8, 629 - (right + 310), 98);
    conversionGroup->setCheckedIndex(0);
}

// The diagnostics log and its controls, below the editor.
void MainWindow::buildDiagnostics() {
    const int right = kRightArea;
    diagnosticsLog->setObjectName(QStringLiteral("VirtualComList"));
    diagnosticsLog->setReadOnly(true);
    diagnosticsLog->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
    diagnosticsLog->setFocusPolicy(Qt::StrongFocus);
    diagnosticsLog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    diagnosticsLog->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    diagnosticsLog->setFont(captionFont(10));
    {
        QPalette p = diagnosticsLog->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        diagnosticsLog->setPalette(p);
    }
    diagnosticsLog->setGeometry(right, 110, 629 - right, 190);
    // The memo counts its displayed lines before the window is first shown as well: give it its
    // size now, not only when the pending resize is delivered at show.
    // (The memo lays its text out at its viewport's width, which it learns from both events.)
    {
        QResizeEvent memo(diagnosticsLog->size(), QSize());
        QCoreApplication::sendEvent(diagnosticsLog, &memo);
        QResizeEvent viewport(diagnosticsLog->viewport()->size(), QSize());
        QCoreApplication::sendEvent(diagnosticsLog->viewport(), &viewport);
    }

    diagnosticsCheck->setObjectName(QStringLiteral("DiagCB"));
    diagnosticsCheck->setText(QStringLiteral("Диагностика"));
    diagnosticsCheck->setChecked(false);
    diagnosticsCheck->setGeometry(right, 304, 140, 26);
    QObject::connect(diagnosticsCheck, &QCheckBox::toggled, this,
                     [this](bool) { showDiagnosticsControls(); });

    recordCountLabel->setObjectName(QStringLiteral("recCnt"));
    recordCountLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    recordCountLabel->setFont(captionFont(14, true));
    setTextColor(recordCountLabel, QPalette::WindowText, kBlue);
    recordCountLabel->setGeometry(right + 146, 304, 120, 26);

    clearLogButton->setObjectName(QStringLiteral("DelRec"));
    flatButton(clearLogButton, QStringLiteral("Очистить"), kRed, 12);
    clearLogButton->setGeometry(right + 276, 302, 629 - (right + 276), 30);

    accountFilterLabel->setObjectName(QStringLiteral("lblFltr"));
    accountFilterLabel->setText(QStringLiteral("Фильтр по идентификатору ППК"));
    accountFilterLabel->setGeometry(right, 336, 260, 24);
    accountFilterLabel->hide();

    accountFilterEdit->setObjectName(QStringLiteral("Accnt"));
    accountFilterEdit->setMaxLength(5);
    accountFilterEdit->setGeometry(right + 266, 336, 70, 24);
    accountFilterEdit->hide();
}

void MainWindow::placeLamps() {
    // One column right beside the list, k1 level with the list's top edge.
    const QRect list = channelTree->geometry();
    for (int s = 0; s < kSlots; ++s) {
        lamps[static_cast<std::size_t>(s)]->move(list.right() + 3, list.top() + s * kLampStep);
    }
}

void MainWindow::setFocusOrder() {
    const QList<QWidget*> chain = {diagnosticsLog,
                                   channelTree,
                                   accountFilterEdit,
                                   diagnosticsCheck,
                                   transceiverAddressEdit,
                                   comPortCombo,
                                   localAddressCombo,
                                   receivePortEdit,
                                   conversionGroup->button(0),
                                   conversionGroup->button(1),
                                   conversionGroup->button(2)};
    for (int i = 0; i + 1 < chain.size(); ++i) {
        QWidget::setTabOrder(chain[i], chain[i + 1]);
    }
    for (QWidget* label :
         {static_cast<QWidget*>(lblTitle), static_cast<QWidget*>(monitorPortLabel),
          static_cast<QWidget*>(recordCountLabel), static_cast<QWidget*>(accountFilterLabel)}) {
        label->setFocusPolicy(Qt::NoFocus);
    }
    editorGroup->setFocusPolicy(Qt::NoFocus);
    conversionGroup->setFocusPolicy(Qt::NoFocus);
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
    c.editorGroup = editorGroup;
    c.channelTree = channelTree;
    c.channelList = &channelList;
    c.createButton = createButton;
    c.deleteButton = deleteButton;
    c.applyButton = applyButton;
    c.transceiverAddressEdit = transceiverAddressEdit;
    c.comPortCombo = comPortCombo;
    c.monitorPortLabel = monitorPortLabel;
    c.localAddressCombo = localAddressCombo;
    c.receivePortEdit = receivePortEdit;
    c.accountFilterEdit = accountFilterEdit;
    c.conversionGroup = conversionGroup;
    return c;
}

// ---- Handlers ----

void MainWindow::showDiagnosticsControls() {
    const bool checked = diagnosticsCheck->isChecked();
    accountFilterEdit->setVisible(checked);
    accountFilterLabel->setVisible(checked);
    recordCountLabel->setVisible(checked);
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
    lamps.at(static_cast<std::size_t>(slot))->setColor(lampColor(color));
}

void MainWindow::setLampVisible(int slot, bool visible) {
    lamps.at(static_cast<std::size_t>(slot))->setVisible(visible);
}

void MainWindow::appendLogLine(const std::string& utf8) {
    diagnosticsLog->appendPlainText(QString::fromStdString(utf8));
}

int MainWindow::logLineCount() const {
    QTextDocument* document = diagnosticsLog->document();
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
    diagnosticsLog->clear();
}

bool MainWindow::diagnosticsChecked() const {
    return diagnosticsCheck->isChecked();
}

void MainWindow::setDiagnosticsChecked(bool checked) {
    if (diagnosticsCheck->isChecked() != checked) {
        diagnosticsCheck->setChecked(checked);  // runs showDiagnosticsControls
    } else {
        showDiagnosticsControls();
    }
}

std::string MainWindow::accountFilter() const {
    return accountFilterEdit->text().toStdString();
}

void MainWindow::setRecordCount(const std::string& text) {
    recordCountLabel->setText(QString::fromStdString(text));
}

std::string MainWindow::timestamp() const {
    return timestampText(QDateTime::currentDateTime(), QLocale::system()).toStdString();
}

}  // namespace lan2com
