#pragma once

#include <QButtonGroup>
#include <QGroupBox>
#include <QRadioButton>
#include <QString>
#include <QStringList>
#include <vector>

namespace lan2com {

// A group of radio buttons of which at most one is chosen, addressed by item index (-1: none).
class RadioGroup final : public QGroupBox {
  public:
    explicit RadioGroup(const QStringList& items, QWidget* parent = nullptr);

    int count() const { return static_cast<int>(buttons_.size()); }
    int checkedIndex() const { return group_.checkedId(); }
    // Chooses item i; -1, or any index that is not an item, leaves no item chosen.
    void setCheckedIndex(int i);
    QString itemCaption(int i) const;                  // empty for an index that is not an item
    int indexOfCaption(const QString& caption) const;  // -1 when no item has it
    QRadioButton* button(int i) const;                 // nullptr for an index that is not an item

  private:
    QButtonGroup group_;
    std::vector<QRadioButton*> buttons_;
};

}  // namespace lan2com
