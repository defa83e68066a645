#include "ui/channel_editor.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFocusEvent>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMetaObject>
#include <QPushButton>
#include <QTreeWidget>
#include <QValidator>
#include <exception>
#include <string>
#include <variant>

#include "ui/channel_rules.h"
#include "ui/valid_ip.h"

namespace lan2com {

namespace {

std::string utf8(const QString& text) {
    return text.toStdString();
}

// Characters of the text that the key filter would not have let in.
int charactersOutsideSetIP(const QString& text) {
    int count = 0;
    for (const char32_t c : text.toUcs4()) {
        if (!isAddressKey(c)) {
            ++count;
        }
    }
    return count;
}

// Keeps every other way of putting text into an address or port field (pasting, dropping, an
// input method) to the characters that the key filter admits. A change that would bring in a
// character outside the set is refused whole and the field stays as it was; a change that removes
// characters is always let through, so a field that was given foreign characters from outside
// (a stored address edited by hand) can still be corrected.
class SetIPGuard final : public QValidator {
  public:
    explicit SetIPGuard(QLineEdit* edit) : QValidator(edit), accepted_(edit->text()) {
        QObject::connect(edit, &QLineEdit::textChanged, this,
                         [this](const QString& text) { accepted_ = text; });
    }

    State validate(QString& input, int& /*pos*/) const override {
        return charactersOutsideSetIP(input) > charactersOutsideSetIP(accepted_) ? Invalid
                                                                                 : Acceptable;
    }

  private:
    QString accepted_;  // the field's text before the change being checked
};

// The character that a key press types, if it types one. Keys that type nothing (arrows, Home,
// End, function keys) and the focus keys Tab and Backtab are no typed characters.
std::optional<std::u32string> typedText(const QKeyEvent* key) {
    if (key->text().isEmpty() || key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
        return std::nullopt;
    }
    const QList<uint> codes = key->text().toUcs4();
    return std::u32string(codes.begin(), codes.end());
}

// A shortcut (copy, cut, paste, select all, undo) or a control character other than backspace
// (Delete, Enter): an editing command rather than text. AltGr, which types characters, comes as
// Ctrl+Alt on some systems and is no command.
bool isEditingCommand(const QKeyEvent* key, const std::u32string& typed) {
    const Qt::KeyboardModifiers mods = key->modifiers();
    if ((mods & (Qt::ControlModifier | Qt::MetaModifier)) && !(mods & Qt::AltModifier)) {
        return true;
    }
    if (typed.size() != 1) {
        return false;
    }
    const char32_t c = typed.front();
    return (c < 0x20 && c != 8) || c == 0x7f;
}

}  // namespace

ChannelEditor::ChannelEditor(const EditorControls& controls, SharedState& state,
                             MessageBoxes& boxes, ErrorReport& errors)
    : c_(controls), state_(state), boxes_(boxes), errors_(errors) {
    connectControls();
}

ChannelEditor::~ChannelEditor() = default;

template <typename F>
void ChannelEditor::guarded(F&& handler) {
    try {
        handler();
    } catch (const std::exception& e) {
        errors_.report(e.what());
    }
}

void ChannelEditor::connectControls() {
    QObject::connect(c_.channelTree, &QAbstractItemView::clicked, this,
                     [this](const QModelIndex&) { guarded([this] { showSelectedChannel(); }); });
    c_.channelTree->installEventFilter(this);

    QObject::connect(c_.createButton, &QPushButton::clicked, this,
                     [this](bool) { guarded([this] { createChannel(); }); });
    QObject::connect(c_.deleteButton, &QPushButton::clicked, this,
                     [this](bool) { guarded([this] { deleteSelectedChannel(); }); });

    // The drop-down list of comPortCombo is a window of its own: its hiding is the list closing.
    comboPopup_ = c_.comPortCombo->view()->window();
    comboPopup_->installEventFilter(this);

    for (QLineEdit* edit : {c_.transceiverAddressEdit, c_.receivePortEdit, c_.accountFilterEdit}) {
        edit->installEventFilter(this);
        edit->setValidator(new SetIPGuard(edit));
    }
    // localAddressCombo changes only by a choice from its list: keys that type are discarded, and
    // its text cannot be edited in any other way either (no paste, cut, Delete or drop).
    c_.localAddressCombo->installEventFilter(this);
    if (QLineEdit* edit = c_.localAddressCombo->lineEdit()) {
        edit->setReadOnly(true);
        edit->installEventFilter(this);
    }
}

bool ChannelEditor::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == c_.channelTree && (type == QEvent::KeyPress || type == QEvent::KeyRelease)) {
        if (type == QEvent::KeyPress) {
            // After the list has moved its selection for the key.
            QMetaObject::invokeMethod(
                this, [this] { guarded([this] { showSelectedChannel(); }); }, Qt::QueuedConnection);
        } else {
            guarded([this] { showSelectedChannel(); });
        }
        return false;
    }
    if (watched == comboPopup_ && type == QEvent::Hide) {
        // The combo box sets its chosen item only after it has hidden the list.
        QPointer<QComboBox> combo = c_.comPortCombo;
        QMetaObject::invokeMethod(
            this,
            [this, combo] {
                if (combo != nullptr) {
                    guarded([this] { showChosenPair(); });
                }
            },
            Qt::QueuedConnection);
        return false;
    }
    if (type == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (watched == c_.transceiverAddressEdit || watched == c_.receivePortEdit ||
            watched == c_.accountFilterEdit) {
            return filterSetIPKey(key);
        }
        if (watched == c_.localAddressCombo || watched == c_.localAddressCombo->lineEdit()) {
            return filterLocalAddressKey(key);
        }
    }
    if (watched == c_.transceiverAddressEdit && type == QEvent::FocusOut) {
        const auto* focus = static_cast<QFocusEvent*>(event);
        // Only a move to another control of the window is leaving the field: not a window that
        // comes in front (a message box among them), not a menu that opens, not the window going.
        const QWidget* next = QApplication::focusWidget();
        if (focus->reason() != Qt::ActiveWindowFocusReason &&
            focus->reason() != Qt::PopupFocusReason && next != nullptr &&
            next != c_.transceiverAddressEdit &&
            next->window() == c_.transceiverAddressEdit->window()) {
            guarded([this] { checkTransceiverAddress(); });
        }
        return false;
    }
    return false;
}

bool ChannelEditor::filterSetIPKey(QKeyEvent* key) {
    const std::optional<std::u32string> typed = typedText(key);
    if (!typed || isEditingCommand(key, *typed)) {
        return false;
    }
    for (const char32_t c : *typed) {
        if (!isAddressKey(c)) {
            return true;  // discarded
        }
    }
    return false;
}

bool ChannelEditor::filterLocalAddressKey(QKeyEvent* key) {
    return typedText(key).has_value();
}

// ---- Selection ----

void ChannelEditor::showSelectedChannel() {
    ChannelList& list = *c_.channelList;
    if (list.nodeCount() == 0) {
        return;
    }
    const int x = list.selectedIndex();
    if (!list.hasChildren(x)) {
        return;
    }
    c_.editorGroup->setTitle(list.nodeText(x));
    c_.transceiverAddressEdit->setText(list.nodeText(x + 1));
    c_.comPortCombo->setEditText(list.nodeText(x + 2));
    c_.monitorPortLabel->setText(list.nodeText(x + 3));
    c_.receivePortEdit->setText(list.nodeText(x + 4));
    c_.conversionGroup->setCheckedIndex(c_.conversionGroup->indexOfCaption(list.nodeText(x + 5)));
}

// ---- Choice of the application-side port ----

namespace {

// The portPairs index attached to an item of comPortCombo: its value when it has one, else its
// index.
int pairIndexOfItem(const QComboBox* combo, int item) {
    bool ok = false;
    const int attached = combo->itemData(item).toInt(&ok);
    return ok ? attached : item;
}

// The item of comPortCombo that is chosen: the current item, as long as the text is still its text
// (typing over it leaves no item chosen). -1 when none is.
int chosenItem(const QComboBox* combo) {
    const int item = combo->currentIndex();
    return item >= 0 && combo->itemText(item) == combo->currentText() ? item : -1;
}

}  // namespace

void ChannelEditor::showChosenPair() {
    const int item = chosenItem(c_.comPortCombo);
    if (item < 0) {
        return;
    }
    const int p = pairIndexOfItem(c_.comPortCombo, item);
    if (p < 0 || p >= kSlots) {
        return;
    }
    c_.monitorPortLabel->setText(
        QString::fromStdString(state_.portPairs[static_cast<std::size_t>(p)].ComOut.str()));
}

// ---- Creation ----

void ChannelEditor::refuse(const char* text) {
    BoxRequest request;
    request.title = editor_text::kRefusalTitle;
    request.text = text;
    request.buttons = BoxButtons::Ok;
    request.icon = BoxIcon::Error;
    boxes_.show(request);
}

void ChannelEditor::createChannel() {
    ChannelRequest request;
    request.transceiverAddress = utf8(c_.transceiverAddressEdit->text());
    request.comIn = utf8(c_.comPortCombo->currentText());
    request.comOut = utf8(c_.monitorPortLabel->text());
    request.receivePort = utf8(c_.receivePortEdit->text());
    if (const int item = chosenItem(c_.comPortCombo); item >= 0) {
        request.chosenPair = pairIndexOfItem(c_.comPortCombo, item);
    }
    request.conversion = c_.conversionGroup->checkedIndex();

    const std::variant<Refusal, Creation> answer =
        addChannel(state_.table, state_.portPairs, request);
    if (const Refusal* refusal = std::get_if<Refusal>(&answer)) {
        refuse(refusal->text);
        if (refusal->addressField) {
            c_.transceiverAddressEdit->setFocus(Qt::OtherFocusReason);
        }
        return;
    }
    const Creation& created = std::get<Creation>(answer);
    state_.table = created.table;
    std::array<QString, ChannelList::kChildren> children;
    for (std::size_t i = 0; i < children.size(); ++i) {
        children[i] = QString::fromStdString(created.nodes[i + 1]);
    }
    c_.channelList->appendGroup(QString::fromStdString(created.nodes[0]), children, created.slot);

    c_.comPortCombo->setCurrentIndex(-1);
    c_.comPortCombo->setEditText(QString());
    c_.monitorPortLabel->clear();
    c_.receivePortEdit->clear();
    c_.deleteButton->setEnabled(true);
    c_.applyButton->setEnabled(true);
    c_.channelList->selectIndex(0);
    showSelectedChannel();
}

// ---- Deletion ----

void ChannelEditor::deleteSelectedChannel() {
    ChannelList& list = *c_.channelList;
    if (list.nodeCount() == 0) {
        return;
    }
    const int x = list.selectedIndex();
    if (list.hasChildren(x)) {
        // The group's own slot, not its list position: a channel that is not listed keeps its
        // slot, and the later groups then stand lower in the list than their slots.
        const int slot = list.slotOfGroup(x);
        list.removeGroup(x);  // also moves the later groups' slots down
        if (std::optional<ChannelTable> table = removeChannel(state_.table, slot)) {
            state_.table = *table;
        }
    }
    finishDeletion();
}

void ChannelEditor::deleteSlot(int slot) {
    ChannelList& list = *c_.channelList;
    const int header = list.headerOfSlot(slot);
    if (header >= 0) {
        list.selectIndex(header);
        deleteSelectedChannel();
        return;
    }
    if (std::optional<ChannelTable> table = removeChannel(state_.table, slot)) {
        state_.table = *table;
        list.slotRemoved(slot);
    }
    finishDeletion();
}

void ChannelEditor::finishDeletion() {
    ChannelList& list = *c_.channelList;
    const bool listed = list.nodeCount() > 0;
    if (!listed) {
        c_.transceiverAddressEdit->clear();
        c_.comPortCombo->setCurrentIndex(-1);
        c_.comPortCombo->setEditText(QString());
        c_.monitorPortLabel->clear();
    }
    c_.deleteButton->setEnabled(listed);
    if (listed) {
        list.selectIndex(0);
        showSelectedChannel();
    }
}

// ---- Address check ----

void ChannelEditor::checkTransceiverAddress() {
    if (isValidTransceiverAddress(utf8(c_.transceiverAddressEdit->text()))) {
        c_.createButton->setEnabled(true);
        return;
    }
    refuse(editor_text::kBadAddress);
    c_.createButton->setEnabled(false);
    c_.transceiverAddressEdit->setFocus(Qt::OtherFocusReason);
}

}  // namespace lan2com
