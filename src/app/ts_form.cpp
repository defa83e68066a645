#include "app/ts_form.h"

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

TS_Form::TS_Form(TS_FormOptions options)
    : QWidget(nullptr),
      ownBoxes_(options.boxes == nullptr ? std::make_unique<QtMessageBoxes>(this) : nullptr),
      boxes(options.boxes != nullptr ? *options.boxes : *ownBoxes_),
      errors(boxes, options.title) {
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
        k[static_cast<std::size_t>(s)] = new ChannelLamp(this);
        k[static_cast<std::size_t>(s)]->setObjectName(QStringLiteral("k%1").arg(s + 1));
    }

    buildControls();
    placeLamps();
    setFocusOrder();
    centreOnScreen();
}

TS_Form::~TS_Form() = default;

void TS_Form::buildControls() {
    const QColor blue(0, 0, 255);
    const QColor red(255, 0, 0);
    const QColor black(0, 0, 0);

    // ---- Left column: title, channel list, buttons ----
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setText(QStringLiteral("Список каналов"));
    lblTitle->setFont(captionFont(12, true));
    lblTitle->setAlignment(Qt::AlignCenter);
    lblTitle->setGeometry(8, 4, 214, 24);

    treePair->setObjectName(QStringLiteral("treePair"));
    treePair->setGeometry(8, 30, 214, 260);
    treePair->setColumnCount(1);
    treePair->setHeaderHidden(true);
    treePair->setEditTriggers(QAbstractItemView::NoEditTriggers);
    treePair->setSelectionMode(QAbstractItemView::SingleSelection);
    treePair->setSelectionBehavior(QAbstractItemView::SelectRows);
    treePair->setAllColumnsShowFocus(true);
    treePair->setIndentation(kTreeIndent);
    treePair->setUniformRowHeights(true);
    treePair->setItemDelegate(new FixedRowDelegate(treePair));
    treePair->setFont(captionFont(12));
    treePair->setFocusPolicy(Qt::StrongFocus);
    {
        QPalette p = treePair->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        treePair->setPalette(p);
    }

    btnAdd->setObjectName(QStringLiteral("btnAdd"));
    flatButton(btnAdd, QStringLiteral("Создать"), black, 14);
    btnAdd->setGeometry(8, 294, 105, 32);

    btnDel->setObjectName(QStringLiteral("btnDel"));
    flatButton(btnDel, QStringLiteral("Удалить"), red, 14);
    btnDel->setGeometry(117, 294, 105, 32);
    btnDel->setEnabled(false);

    btnApply->setObjectName(QStringLiteral("btnApply"));
    flatButton(btnApply, QStringLiteral("Применить"), blue, 14);
    btnApply->setGeometry(8, 328, 214, 32);

    // ---- Channel editor ----
    const int right = 248;  // left edge of the right area, after the lamp column
    chanel->setObjectName(QStringLiteral("chanel"));
    chanel->setTitle(QString());
    chanel->setFlat(true);
    chanel->setGeometry(right, 2, 306, 104);

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

    editIP->setObjectName(QStringLiteral("editIP"));
    editIP->setText(QStringLiteral("255.255.255.255"));
    editIP->setToolTip(hintSource);
    editIP->setGeometry(6, 42, 128, 24);
    {
        QPalette p = editIP->palette();
        p.setColor(QPalette::Base, Qt::white);
        editIP->setPalette(p);
    }

    comboCom->setObjectName(QStringLiteral("comboCom"));
    comboCom->setEditable(true);
    comboCom->setCompleter(nullptr);
    // Typing never adds an item: an item's index is the index of its pair in the pair table.
    comboCom->setInsertPolicy(QComboBox::NoInsert);
    comboCom->addItems({QStringLiteral("com10"), QStringLiteral("com12"), QStringLiteral("com14")});
    comboCom->setCurrentIndex(-1);
    comboCom->setToolTip(hintComIn);
    comboCom->setGeometry(138, 42, 84, 24);

    lblCom->setObjectName(QStringLiteral("lblCom"));
    lblCom->setToolTip(hintComOut);
    setTextColor(lblCom, QPalette::WindowText, blue);
    lblCom->setGeometry(226, 42, 74, 24);

    lblLocalIP->setObjectName(QStringLiteral("lblLocalIP"));
    lblLocalIP->setText(QStringLiteral("IP ПК"));
    lblLocalIP->setGeometry(6, 74, 40, 24);

    edtIP->setObjectName(QStringLiteral("edtIP"));
    edtIP->setEditable(true);
    edtIP->setCompleter(nullptr);
    edtIP->setInsertPolicy(QComboBox::NoInsert);
    edtIP->setGeometry(46, 74, 140, 24);

    lblPort->setObjectName(QStringLiteral("lblPort"));
    lblPort->setText(QStringLiteral("Порт ПК"));
    lblPort->setGeometry(190, 74, 58, 24);

    PortIn->setObjectName(QStringLiteral("PortIn"));
    PortIn->setMaxLength(5);
    PortIn->setGeometry(250, 74, 50, 24);

    cnvrtRG->setObjectName(QStringLiteral("cnvrtRG"));
    cnvrtRG->setTitle(QString());
    cnvrtRG->setGeometry(right + 310, 8, 629 - (right + 310), 98);
    cnvrtRG->SetItemIndex(0);

    // ---- Diagnostics ----
    VirtualComList->setObjectName(QStringLiteral("VirtualComList"));
    VirtualComList->setReadOnly(true);
    VirtualComList->setTextInteractionFlags(Qt::TextSelectableByMouse |
                                            Qt::TextSelectableByKeyboard);
    VirtualComList->setFocusPolicy(Qt::StrongFocus);
    VirtualComList->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    VirtualComList->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    VirtualComList->setFont(captionFont(10));
    {
        QPalette p = VirtualComList->palette();
        p.setColor(QPalette::Base, QGuiApplication::palette().color(QPalette::Base));
        VirtualComList->setPalette(p);
    }
    VirtualComList->setGeometry(right, 110, 629 - right, 190);
    // The memo counts its displayed lines before the window is first shown as well: give it its
    // size now, not only when the pending resize is delivered at show.
    // (The memo lays its text out at its viewport's width, which it learns from both events.)
    {
        QResizeEvent memo(VirtualComList->size(), QSize());
        QCoreApplication::sendEvent(VirtualComList, &memo);
        QResizeEvent viewport(VirtualComList->viewport()->size(), QSize());
        QCoreApplication::sendEvent(VirtualComList->viewport(), &viewport);
    }

    DiagCB->setObjectName(QStringLiteral("DiagCB"));
    DiagCB->setText(QStringLiteral("Диагностика"));
    DiagCB->setChecked(false);
    DiagCB->setGeometry(right, 304, 140, 26);
    QObject::connect(DiagCB, &QCheckBox::toggled, this,
                     reportingHandler(errors, [this](bool) { DiagCBClick(); }));

    recCnt->setObjectName(QStringLiteral("recCnt"));
    recCnt->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    recCnt->setFont(captionFont(14, true));
    setTextColor(recCnt, QPalette::WindowText, blue);
    recCnt->setGeometry(right + 146, 304, 120, 26);

    DelRec->setObjectName(QStringLiteral("DelRec"));
    flatButton(DelRec, QStringLiteral("Очистить"), red, 12);
    DelRec->setGeometry(right + 276, 302, 629 - (right + 276), 30);

    lblFltr->setObjectName(QStringLiteral("lblFltr"));
    lblFltr->setText(QStringLiteral("Фильтр по идентификатору ППК"));
    lblFltr->setGeometry(right, 336, 260, 24);
    lblFltr->hide();

    Accnt->setObjectName(QStringLiteral("Accnt"));
    Accnt->setMaxLength(5);
    Accnt->setGeometry(right + 266, 336, 70, 24);
    Accnt->hide();
}

void TS_Form::placeLamps() {
    // One column right beside the list, k1 level with the list's top edge.
    const QRect list = treePair->geometry();
    for (int s = 0; s < kSlots; ++s) {
        k[static_cast<std::size_t>(s)]->move(list.right() + 3, list.top() + s * kLampStep);
    }
}

void TS_Form::setFocusOrder() {
    const QList<QWidget*> chain = {VirtualComList,
                                   treePair,
                                   Accnt,
                                   DiagCB,
                                   editIP,
                                   comboCom,
                                   edtIP,
                                   PortIn,
                                   cnvrtRG->button(0),
                                   cnvrtRG->button(1),
                                   cnvrtRG->button(2)};
    for (int i = 0; i + 1 < chain.size(); ++i) {
        QWidget::setTabOrder(chain[i], chain[i + 1]);
    }
    for (QWidget* label : {static_cast<QWidget*>(lblTitle), static_cast<QWidget*>(lblCom),
                           static_cast<QWidget*>(recCnt), static_cast<QWidget*>(lblFltr)}) {
        label->setFocusPolicy(Qt::NoFocus);
    }
    chanel->setFocusPolicy(Qt::NoFocus);
    cnvrtRG->setFocusPolicy(Qt::NoFocus);
}

void TS_Form::centreOnScreen() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
}

// ---- Handlers ----

void TS_Form::DiagCBClick() {
    const bool checked = DiagCB->isChecked();
    Accnt->setVisible(checked);
    lblFltr->setVisible(checked);
    recCnt->setVisible(checked);
}

bool TS_Form::FormCloseQuery() {
    if (state.AppExit) {
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
    state.AppExit = true;
    if (onExitConfirmed) {
        onExitConfirmed();
    }
    return true;
}

void TS_Form::FormShow() {
    if (onFormShow) {
        onFormShow();
    }
}

void TS_Form::closeEvent(QCloseEvent* event) {
    // Refuse first: should the question fail, the window stays.
    event->ignore();
    if (FormCloseQuery()) {
        event->accept();
    }
}

void TS_Form::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shownOnce_ && !event->spontaneous()) {
        shownOnce_ = true;
        // From the event loop, once the window is on the screen: a failure in start-up is then
        // reported with the window shown.
        QMetaObject::invokeMethod(
            this, [this] { FormShow(); }, Qt::QueuedConnection);
    }
}

// ---- RelayView ----

QColor TS_Form::lampColor(LampColor color) {
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

void TS_Form::setLampColor(int slot, LampColor color) {
    k.at(static_cast<std::size_t>(slot))->setColor(lampColor(color));
}

void TS_Form::setLampVisible(int slot, bool visible) {
    k.at(static_cast<std::size_t>(slot))->setVisible(visible);
}

void TS_Form::appendLogLine(const std::string& utf8) {
    VirtualComList->appendPlainText(QString::fromStdString(utf8));
}

int TS_Form::logLineCount() const {
    QTextDocument* document = VirtualComList->document();
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

void TS_Form::clearLog() {
    VirtualComList->clear();
}

bool TS_Form::diagnosticsChecked() const {
    return DiagCB->isChecked();
}

void TS_Form::setDiagnosticsChecked(bool checked) {
    if (DiagCB->isChecked() != checked) {
        DiagCB->setChecked(checked);  // runs DiagCBClick
    } else {
        DiagCBClick();
    }
}

std::string TS_Form::accountFilter() const {
    return Accnt->text().toStdString();
}

void TS_Form::setRecordCount(const std::string& text) {
    recCnt->setText(QString::fromStdString(text));
}

std::string TS_Form::timestamp() const {
    return timestampText(QDateTime::currentDateTime(), QLocale::system()).toStdString();
}

}  // namespace lan2com
