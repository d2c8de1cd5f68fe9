// Doubly and singly linked list helpers.
#include "expect_bugcheck.h"
#include "bugcodes.h"
#include "nt/rtl.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Item {
    int Value;
    LIST_ENTRY Link;
};

std::vector<int> Values(PLIST_ENTRY Head) {
    std::vector<int> Out;
    for (PLIST_ENTRY E = Head->Flink; E != Head; E = E->Flink) {
        Out.push_back(CONTAINING_RECORD(E, Item, Link)->Value);
    }
    return Out;
}

TEST(ListHelpers, InsertAndRemoveAtBothEnds) {
    LIST_ENTRY Head;
    InitializeListHead(&Head);
    EXPECT_TRUE(IsListEmpty(&Head));
    Item A{1, {}}, B{2, {}}, C{3, {}};
    InsertTailList(&Head, &A.Link);
    InsertTailList(&Head, &B.Link);
    InsertHeadList(&Head, &C.Link);
    EXPECT_EQ(Values(&Head), (std::vector<int>{3, 1, 2}));

    EXPECT_EQ(RemoveHeadList(&Head), &C.Link);
    EXPECT_EQ(RemoveTailList(&Head), &B.Link);
    EXPECT_EQ(Values(&Head), (std::vector<int>{1}));
    InsertTailList(&Head, &B.Link);
    EXPECT_FALSE(RemoveEntryList(&A.Link)) << "FALSE while entries remain";
    EXPECT_TRUE(RemoveEntryList(&B.Link)) << "TRUE when the list became empty";
    EXPECT_TRUE(IsListEmpty(&Head));
}

TEST(ListHelpers, SingleListIsLastInFirstOut) {
    SINGLE_LIST_ENTRY Head = {NULL};
    SINGLE_LIST_ENTRY A, B;
    EXPECT_EQ(PopEntryList(&Head), nullptr);
    PushEntryList(&Head, &A);
    PushEntryList(&Head, &B);
    EXPECT_EQ(PopEntryList(&Head), &B);
    EXPECT_EQ(PopEntryList(&Head), &A);
    EXPECT_EQ(PopEntryList(&Head), nullptr);
}

void RemoveTwice() {
    LIST_ENTRY Head;
    InitializeListHead(&Head);
    Item A{1, {}};
    Item B{2, {}};
    InsertTailList(&Head, &A.Link);
    InsertTailList(&Head, &B.Link);
    RemoveEntryList(&A.Link);
    RemoveEntryList(&A.Link);
}

TEST(ListHelpersDeathTest, EntryRemovedTwiceStopsTheMachine) {
    EXPECT_BUGCHECK(RemoveTwice(), KERNEL_SECURITY_CHECK_FAILURE, "removed twice");
}

} // namespace
