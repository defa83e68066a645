#include "ui/channel_list.h"

#include <gtest/gtest.h>

#include <QTreeWidget>

namespace lan2com {
namespace {

std::array<QString, ChannelList::kChildren> childrenOf(int pair) {
    return {QStringLiteral("10.0.0.%1").arg(pair), QStringLiteral("com%1").arg(2 * pair),
            QStringLiteral("com%1").arg(2 * pair + 1), QString::number(9000 + pair),
            QStringLiteral("A->0")};
}

class ChannelListTest : public ::testing::Test {
  protected:
    void appendChannels(int count) {
        for (int t = 0; t < count; ++t) {
            list.appendGroup(QStringLiteral("Канал №%1").arg(t + 1), childrenOf(t + 1), t);
        }
    }

    QTreeWidget tree;
    ChannelList list{&tree};
};

TEST_F(ChannelListTest, EmptyListHasNoNodesAndNoSelection) {
    EXPECT_EQ(list.nodeCount(), 0);
    EXPECT_EQ(list.groupCount(), 0);
    EXPECT_EQ(list.selectedIndex(), -1);
    EXPECT_FALSE(list.selectIndex(0));
    EXPECT_EQ(list.nodeText(0), QString());
    EXPECT_FALSE(list.hasChildren(0));
    EXPECT_EQ(list.slotOfGroup(0), -1);
    EXPECT_FALSE(list.removeGroup(0));
}

TEST_F(ChannelListTest, HeadersAndChildrenCountInDisplayOrderWhetherFoldedOrNot) {
    appendChannels(3);
    EXPECT_EQ(list.nodeCount(), 18);
    EXPECT_EQ(list.groupCount(), 3);
    tree.topLevelItem(1)->setExpanded(true);  // only the middle group unfolded
    for (int t = 0; t < 3; ++t) {
        EXPECT_EQ(list.nodeText(6 * t), QStringLiteral("Канал №%1").arg(t + 1));
        EXPECT_TRUE(list.hasChildren(6 * t));
        EXPECT_TRUE(list.isHeader(6 * t));
        const auto children = childrenOf(t + 1);
        for (int c = 0; c < ChannelList::kChildren; ++c) {
            EXPECT_EQ(list.nodeText(6 * t + 1 + c), children[static_cast<std::size_t>(c)])
                << "node " << 6 * t + 1 + c;
            EXPECT_FALSE(list.hasChildren(6 * t + 1 + c));
            EXPECT_FALSE(list.isHeader(6 * t + 1 + c));
        }
    }
    EXPECT_EQ(list.nodeText(18), QString());
    EXPECT_EQ(list.node(-1), nullptr);
    EXPECT_EQ(list.node(18), nullptr);
    for (int i = 0; i < 18; ++i) {
        EXPECT_EQ(list.indexOf(list.node(i)), i);
    }
    EXPECT_EQ(list.indexOf(nullptr), -1);
    QTreeWidget other;
    auto* foreign = new QTreeWidgetItem(&other, QStringList{QStringLiteral("x")});
    EXPECT_EQ(list.indexOf(foreign), -1);
}

TEST_F(ChannelListTest, SelectingByIndexSelectsThatNodeAndOutOfRangeSelectsNothing) {
    appendChannels(2);
    EXPECT_TRUE(list.selectIndex(9));  // a folded child of the second group
    EXPECT_EQ(list.selectedIndex(), 9);
    EXPECT_EQ(tree.selectedItems().size(), 1);
    EXPECT_EQ(tree.selectedItems().first()->text(0), QStringLiteral("com5"));
    EXPECT_TRUE(tree.topLevelItem(1)->isExpanded()) << "the selected child is shown";

    EXPECT_TRUE(list.selectIndex(0));
    EXPECT_EQ(list.selectedIndex(), 0);
    EXPECT_EQ(tree.selectedItems().size(), 1);

    EXPECT_FALSE(list.selectIndex(12));
    EXPECT_EQ(list.selectedIndex(), -1);
    EXPECT_TRUE(list.selectIndex(11));
    EXPECT_FALSE(list.selectIndex(-1));
    EXPECT_EQ(list.selectedIndex(), -1);
}

TEST_F(ChannelListTest, SelectionByClickIsSeenAsIndex) {
    appendChannels(2);
    tree.setCurrentItem(tree.topLevelItem(1)->child(4));
    EXPECT_EQ(list.selectedIndex(), 11);
}

TEST_F(ChannelListTest, RemovingAGroupShiftsLaterIndicesAndSlots) {
    appendChannels(4);
    ASSERT_TRUE(list.removeGroup(6));  // the second channel, slot 1
    EXPECT_EQ(list.nodeCount(), 18);
    EXPECT_EQ(list.nodeText(6), QStringLiteral("Канал №3"));
    EXPECT_EQ(list.nodeText(7), QStringLiteral("10.0.0.3"));
    EXPECT_EQ(list.slotOfGroup(0), 0);
    EXPECT_EQ(list.slotOfGroup(6), 1) << "the channel of slot 2 moved down to slot 1";
    EXPECT_EQ(list.slotOfGroup(12), 2);
    EXPECT_EQ(list.headerOfSlot(3), -1);
    EXPECT_EQ(list.headerOfSlot(2), 12);
}

TEST_F(ChannelListTest, OnlyHeadersCanBeRemoved) {
    appendChannels(2);
    EXPECT_FALSE(list.removeGroup(7));
    EXPECT_FALSE(list.removeGroup(12));
    EXPECT_FALSE(list.removeGroup(-1));
    EXPECT_EQ(list.nodeCount(), 12);
    EXPECT_EQ(list.slotOfGroup(7), -1);
}

TEST_F(ChannelListTest, GroupsRememberTheirSlotWhenAStoredChannelIsNotListed) {
    // Slots 0, 1 and 2 are occupied; slot 1's port pair is missing, so it has no group.
    list.appendGroup(QStringLiteral("Канал №1"), childrenOf(1), 0);
    list.appendGroup(QStringLiteral("Канал №3"), childrenOf(3), 2);
    EXPECT_EQ(list.slotOfGroup(6), 2) << "list position 1 shows slot 2";
    EXPECT_EQ(list.headerOfSlot(2), 6);
    EXPECT_EQ(list.headerOfSlot(1), -1);

    // The unlisted slot 1 is deleted from the table: the channel of slot 2 moves to slot 1.
    list.slotRemoved(1);
    EXPECT_EQ(list.slotOfGroup(0), 0);
    EXPECT_EQ(list.slotOfGroup(6), 1);

    // Deleting the first group (slot 0) moves the other one down to slot 0.
    ASSERT_TRUE(list.removeGroup(0));
    EXPECT_EQ(list.slotOfGroup(0), 0);
    EXPECT_EQ(list.nodeText(0), QStringLiteral("Канал №3"));
}

TEST_F(ChannelListTest, SixteenGroupsSpanNinetySixNodes) {
    appendChannels(16);
    EXPECT_EQ(list.nodeCount(), 96);
    EXPECT_EQ(list.nodeText(90), QStringLiteral("Канал №16"));
    EXPECT_EQ(list.nodeText(95), QStringLiteral("A->0"));
    EXPECT_EQ(list.slotOfGroup(90), 15);
    EXPECT_EQ(list.headerOfSlot(15), 90);
    EXPECT_TRUE(list.selectIndex(95));
    EXPECT_EQ(list.selectedIndex(), 95);
}

TEST_F(ChannelListTest, ClearEmptiesTheList) {
    appendChannels(2);
    list.selectIndex(3);
    list.clear();
    EXPECT_EQ(list.nodeCount(), 0);
    EXPECT_EQ(list.selectedIndex(), -1);
}

}  // namespace
}  // namespace lan2com
