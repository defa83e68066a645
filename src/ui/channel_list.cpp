#include "ui/channel_list.h"

#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <QVariant>

namespace lan2com {

namespace {

constexpr int kSlotRole = Qt::UserRole + 1;

// Nodes of an item's subtree, the item included.
int subtreeSize(const QTreeWidgetItem* item) {
    int size = 1;
    for (int c = 0; c < item->childCount(); ++c) {
        size += subtreeSize(item->child(c));
    }
    return size;
}

// The node at flat position i within item's subtree (item itself is position 0). When i lies
// beyond the subtree the answer is nullptr and i has been reduced by the subtree's size, so that
// the search can go on in the next subtree.
QTreeWidgetItem* nodeInSubtree(QTreeWidgetItem* item, int& i) {
    if (i == 0) {
        return item;
    }
    --i;
    for (int c = 0; c < item->childCount(); ++c) {
        if (QTreeWidgetItem* found = nodeInSubtree(item->child(c), i)) {
            return found;
        }
    }
    return nullptr;
}

}  // namespace

int ChannelList::nodeCount() const {
    int count = 0;
    for (int t = 0; t < tree_->topLevelItemCount(); ++t) {
        count += subtreeSize(tree_->topLevelItem(t));
    }
    return count;
}

int ChannelList::groupCount() const {
    return tree_->topLevelItemCount();
}

QTreeWidgetItem* ChannelList::node(int i) const {
    if (i < 0) {
        return nullptr;
    }
    int rest = i;
    for (int t = 0; t < tree_->topLevelItemCount(); ++t) {
        if (QTreeWidgetItem* found = nodeInSubtree(tree_->topLevelItem(t), rest)) {
            return found;
        }
    }
    return nullptr;
}

int ChannelList::indexOf(const QTreeWidgetItem* item) const {
    if (item == nullptr || item->treeWidget() != tree_) {
        return -1;
    }
    // Nodes before the item: the subtrees of its earlier siblings, then its parent and the
    // parent's earlier siblings, up to the top level.
    int index = 0;
    const QTreeWidgetItem* current = item;
    while (true) {
        const QTreeWidgetItem* parent = current->parent();
        if (parent == nullptr) {
            const int position = tree_->indexOfTopLevelItem(const_cast<QTreeWidgetItem*>(current));
            for (int t = 0; t < position; ++t) {
                index += subtreeSize(tree_->topLevelItem(t));
            }
            return index;
        }
        const int position = parent->indexOfChild(const_cast<QTreeWidgetItem*>(current));
        for (int c = 0; c < position; ++c) {
            index += subtreeSize(parent->child(c));
        }
        index += 1;  // the parent itself
        current = parent;
    }
}

int ChannelList::selectedIndex() const {
    const QList<QTreeWidgetItem*> selected = tree_->selectedItems();
    return selected.isEmpty() ? -1 : indexOf(selected.first());
}

bool ChannelList::selectIndex(int i) {
    QTreeWidgetItem* item = node(i);
    if (item == nullptr) {
        tree_->clearSelection();
        tree_->setCurrentIndex(QModelIndex());
        return false;
    }
    tree_->setCurrentItem(item, 0, QItemSelectionModel::ClearAndSelect);
    tree_->scrollToItem(item);  // unfolds the group of a selected child
    return true;
}

QString ChannelList::nodeText(int i) const {
    const QTreeWidgetItem* item = node(i);
    return item == nullptr ? QString() : item->text(0);
}

bool ChannelList::hasChildren(int i) const {
    const QTreeWidgetItem* item = node(i);
    return item != nullptr && item->childCount() > 0;
}

bool ChannelList::isHeader(int i) const {
    const QTreeWidgetItem* item = node(i);
    return item != nullptr && item->parent() == nullptr;
}

void ChannelList::appendGroup(const QString& header, const std::array<QString, kChildren>& children,
                              int slot) {
    auto* group = new QTreeWidgetItem(QStringList{header});
    group->setData(0, kSlotRole, slot);
    for (const QString& text : children) {
        group->addChild(new QTreeWidgetItem(QStringList{text}));
    }
    tree_->addTopLevelItem(group);
}

int ChannelList::slotOfGroup(int headerIndex) const {
    if (!isHeader(headerIndex)) {
        return -1;
    }
    const QVariant slot = node(headerIndex)->data(0, kSlotRole);
    return slot.isValid() ? slot.toInt() : -1;
}

int ChannelList::headerOfSlot(int slot) const {
    int index = 0;
    for (int t = 0; t < tree_->topLevelItemCount(); ++t) {
        const QTreeWidgetItem* group = tree_->topLevelItem(t);
        const QVariant remembered = group->data(0, kSlotRole);
        if (remembered.isValid() && remembered.toInt() == slot) {
            return index;
        }
        index += subtreeSize(group);
    }
    return -1;
}

bool ChannelList::removeGroup(int headerIndex) {
    if (!isHeader(headerIndex)) {
        return false;
    }
    const int slot = slotOfGroup(headerIndex);
    delete node(headerIndex);  // takes its children along
    if (slot >= 0) {
        slotRemoved(slot);
    }
    return true;
}

void ChannelList::slotRemoved(int slot) {
    for (int t = 0; t < tree_->topLevelItemCount(); ++t) {
        QTreeWidgetItem* group = tree_->topLevelItem(t);
        const QVariant remembered = group->data(0, kSlotRole);
        if (remembered.isValid() && remembered.toInt() > slot) {
            group->setData(0, kSlotRole, remembered.toInt() - 1);
        }
    }
}

void ChannelList::clear() {
    tree_->clear();
}

}  // namespace lan2com
