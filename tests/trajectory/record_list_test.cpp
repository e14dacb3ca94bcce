// The cursor list at its ends.
#include <gtest/gtest.h>

#include <memory>

#include "trajectory/record_list.h"

namespace {

using List = placidor::trajectory::RecordList<int>;

void fill(List &list, int n) {
    for (int i = 0; i < n; ++i) ASSERT_TRUE(list.append(std::make_unique<int>(i)));
}

TEST(RecordList, EmptyList) {
    List list;
    EXPECT_EQ(list.first(), nullptr);
    EXPECT_EQ(list.current(), nullptr);
    EXPECT_EQ(list.at(0), nullptr);
    EXPECT_EQ(list.next(), nullptr);
    list.removeCurrent();  // no cursor: nothing happens
    EXPECT_EQ(list.count(), 0);
}

TEST(RecordList, AppendMovesTheCursorToTheNewRecord) {
    List list;
    list.append(std::make_unique<int>(5));
    ASSERT_NE(list.current(), nullptr);
    EXPECT_EQ(*list.current(), 5);
    list.append(std::make_unique<int>(6));
    EXPECT_EQ(*list.current(), 6);
    EXPECT_EQ(list.count(), 2);
}

TEST(RecordList, WalkAndPositions) {
    List list;
    fill(list, 7);
    int expected = 0;
    for (int *r = list.first(); r; r = list.next()) EXPECT_EQ(*r, expected++);
    EXPECT_EQ(expected, 7);
    EXPECT_EQ(list.current(), nullptr);  // ran past the end
    EXPECT_EQ(*list.at(0), 0);
    EXPECT_EQ(*list.at(6), 6);
    EXPECT_EQ(*list.at(3), 3);
    EXPECT_EQ(*list.next(), 4);  // at() leaves the cursor on the record
    EXPECT_EQ(*list.at(100), 6);
    EXPECT_EQ(*list.at(-4), 0);
}

TEST(RecordList, RemoveCurrentMovesToTheFollowingOrPrecedingRecord) {
    List list;
    fill(list, 4);
    list.at(1);
    list.removeCurrent();
    ASSERT_NE(list.current(), nullptr);
    EXPECT_EQ(*list.current(), 2);
    list.at(2);  // the last record, 3
    list.removeCurrent();
    ASSERT_NE(list.current(), nullptr);
    EXPECT_EQ(*list.current(), 2);
    EXPECT_EQ(list.count(), 2);
    list.first();
    list.removeCurrent();
    list.removeCurrent();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.current(), nullptr);
    EXPECT_EQ(list.first(), nullptr);
}

TEST(RecordList, ClearWithTheCursorPastTheEnd) {
    List list;
    fill(list, 3);
    for (int *r = list.first(); r; r = list.next()) {
    }
    list.clear();
    EXPECT_EQ(list.count(), 0);
    EXPECT_EQ(list.first(), nullptr);
    fill(list, 2);
    EXPECT_EQ(*list.at(1), 1);
}

}  // namespace
