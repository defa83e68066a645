#include "ui/radio_group.h"

#include <QVBoxLayout>

namespace lan2com {

RadioGroup::RadioGroup(const QStringList& items, QWidget* parent) : QGroupBox(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 4, 4);
    layout->setSpacing(2);
    group_.setExclusive(true);
    for (int i = 0; i < items.size(); ++i) {
        auto* radio = new QRadioButton(items[i], this);
        group_.addButton(radio, i);
        layout->addWidget(radio);
        buttons_.push_back(radio);
    }
}

void RadioGroup::setCheckedIndex(int i) {
    if (QRadioButton* radio = button(i)) {
        radio->setChecked(true);
        return;
    }
    // An exclusive group does not let its last checked button go by itself.
    group_.setExclusive(false);
    for (QRadioButton* radio : buttons_) {
        radio->setChecked(false);
    }
    group_.setExclusive(true);
}

QString RadioGroup::itemCaption(int i) const {
    const QRadioButton* radio = button(i);
    return radio == nullptr ? QString() : radio->text();
}

int RadioGroup::indexOfCaption(const QString& caption) const {
    for (int i = 0; i < count(); ++i) {
        if (buttons_[static_cast<std::size_t>(i)]->text() == caption) {
            return i;
        }
    }
    return -1;
}

QRadioButton* RadioGroup::button(int i) const {
    if (i < 0 || i >= count()) {
        return nullptr;
    }
    return buttons_[static_cast<std::size_t>(i)];
}

}  // namespace lan2com
