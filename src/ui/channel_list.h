#pragma once

#include <QString>
#include <array>

class QTreeWidget;
class QTreeWidgetItem;

namespace lan2com {

// The channel list channelTree seen as one flat list: every node in display order, each header
// followed by its children, whether they are shown or folded. With six nodes per channel the
// header of the t-th group is node 6t and its children 6t+1 … 6t+5. Index -1 means "no node".
//
// Each header remembers the table slot whose channel it shows. List position and slot agree
// while every occupied slot is listed; a stored channel whose port pair was not found keeps its
// slot without being listed, and then only the remembered slot says which record a group shows.
class ChannelList {
  public:
    static constexpr int kChildren = 5;
    static constexpr int kGroupSize = kChildren + 1;

    explicit ChannelList(QTreeWidget* tree) : tree_(tree) {}

    int nodeCount() const;
    int groupCount() const;

    int selectedIndex() const;  // -1 when nothing is selected
    // Selects node i (and makes it the current node). An index outside the list, -1 included,
    // leaves nothing selected and answers false.
    bool selectIndex(int i);

    QString nodeText(int i) const;  // empty outside the list
    bool hasChildren(int i) const;  // false outside the list
    bool isHeader(int i) const;     // a top-level node

    // Appends a group at the end of the list: the header and its five children, folded.
    void appendGroup(const QString& header, const std::array<QString, kChildren>& children,
                     int slot);

    // The slot of the group whose header is node i; -1 when node i is not a header.
    int slotOfGroup(int headerIndex) const;
    // The node index of the header that shows the given slot; -1 when no group shows it.
    int headerOfSlot(int slot) const;

    // Removes the group whose header is node i and tells the other groups that its slot went
    // (see slotRemoved). Answers false, changing nothing, when node i is not a header.
    bool removeGroup(int headerIndex);
    // The channel table moved every channel after this slot down by one: groups that show a
    // later slot now show the slot below it. Deleting a slot without a group needs this too.
    void slotRemoved(int slot);

    void clear();

    QTreeWidgetItem* node(int i) const;              // nullptr outside the list
    int indexOf(const QTreeWidgetItem* item) const;  // -1 for nullptr or a foreign node

  private:
    QTreeWidget* tree_;
};

}  // namespace lan2com
