// Exempt file lists: capacity per list, duplicates, clearing one list,
// closing, bad arguments, concurrent use.
#include "frame/exempt_file_list.h"
#include "driver/support/test_threads.h"

#include <atomic>

namespace {

class ExemptFileListTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        ExemptFileInit();
    }
};

PVOID Id(ULONG_PTR N) {
    return reinterpret_cast<PVOID>(0x1000 + N * 16);
}

TEST_F(ExemptFileListTest, SixtyFifthEntryFailsWhileOtherListsStillAccept) {
    for (ULONG I = 0; I < EXEMPT_FILE_LIST_SLOTS; ++I) {
        ASSERT_TRUE(ExemptFileAdd(Id(I), PASS_THROUGH_FILE_LIST)) << "entry " << I;
    }
    EXPECT_FALSE(ExemptFileAdd(Id(64), PASS_THROUGH_FILE_LIST));
    EXPECT_FALSE(ExemptFileContains(Id(64), PASS_THROUGH_FILE_LIST));
    EXPECT_TRUE(ExemptFileAdd(Id(64), OWN_FILE_LIST));
    EXPECT_TRUE(ExemptFileAdd(Id(64), 0));

    // A removal frees a slot for exactly one more entry.
    EXPECT_TRUE(ExemptFileRemove(Id(10), PASS_THROUGH_FILE_LIST));
    EXPECT_TRUE(ExemptFileAdd(Id(65), PASS_THROUGH_FILE_LIST));
    EXPECT_FALSE(ExemptFileAdd(Id(66), PASS_THROUGH_FILE_LIST));
    EXPECT_TRUE(ExemptFileContains(Id(63), PASS_THROUGH_FILE_LIST));
}

TEST_F(ExemptFileListTest, EachRemovalTakesOutOneOccurrence) {
    EXPECT_TRUE(ExemptFileAdd(Id(1), OWN_FILE_LIST));
    EXPECT_TRUE(ExemptFileAdd(Id(1), OWN_FILE_LIST));
    EXPECT_TRUE(ExemptFileRemove(Id(1), OWN_FILE_LIST));
    EXPECT_TRUE(ExemptFileContains(Id(1), OWN_FILE_LIST)) << "one occurrence is left";
    EXPECT_TRUE(ExemptFileRemove(Id(1), OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileContains(Id(1), OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileRemove(Id(1), OWN_FILE_LIST)) << "not in the list any more";
    EXPECT_FALSE(ExemptFileContains(Id(1), PASS_THROUGH_FILE_LIST));
}

TEST_F(ExemptFileListTest, ClearingOneListKeepsTheOthers) {
    for (ULONG I = 0; I < 5; ++I) {
        ExemptFileAdd(Id(I), PASS_THROUGH_FILE_LIST);
        ExemptFileAdd(Id(I), OWN_FILE_LIST);
    }
    ExemptFileClear(PASS_THROUGH_FILE_LIST);
    for (ULONG I = 0; I < 5; ++I) {
        EXPECT_FALSE(ExemptFileContains(Id(I), PASS_THROUGH_FILE_LIST));
        EXPECT_TRUE(ExemptFileContains(Id(I), OWN_FILE_LIST));
    }
    for (ULONG I = 0; I < EXEMPT_FILE_LIST_SLOTS; ++I) {
        ASSERT_TRUE(ExemptFileAdd(Id(100 + I), PASS_THROUGH_FILE_LIST)) << "cleared list is empty";
    }
}

TEST_F(ExemptFileListTest, AfterCloseAddsFailButRemovalStillWorks) {
    ASSERT_TRUE(ExemptFileAdd(Id(7), OWN_FILE_LIST));
    ExemptFileClose();
    for (ULONG List = 0; List < EXEMPT_FILE_LIST_COUNT; ++List) {
        EXPECT_FALSE(ExemptFileAdd(Id(8), List));
    }
    EXPECT_TRUE(ExemptFileContains(Id(7), OWN_FILE_LIST));
    EXPECT_TRUE(ExemptFileRemove(Id(7), OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileContains(Id(7), OWN_FILE_LIST));
    ExemptFileInit();
    EXPECT_TRUE(ExemptFileAdd(Id(8), OWN_FILE_LIST)) << "start-up opens the lists again";
}

TEST_F(ExemptFileListTest, NullIdentityAndBadListNumberAreRefused) {
    EXPECT_FALSE(ExemptFileAdd(NULL, OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileContains(NULL, OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileRemove(NULL, OWN_FILE_LIST));
    EXPECT_FALSE(ExemptFileAdd(Id(1), EXEMPT_FILE_LIST_COUNT));
    EXPECT_FALSE(ExemptFileContains(Id(1), EXEMPT_FILE_LIST_COUNT));
    EXPECT_FALSE(ExemptFileRemove(Id(1), 0xFFFFFFFFu));
    ExemptFileClear(EXEMPT_FILE_LIST_COUNT);
}

TEST_F(ExemptFileListTest, ConcurrentAddersNeverSeeEachOthersEntriesDisappear) {
    // Each thread owns its identities: while it holds one, the list must
    // report it; once removed, not. Lists 1 and 2 are shared by all threads.
    std::atomic<int> Broken{0};
    RunOnSystemThreads(8, [&](ULONG Index) {
        KIRQL Irql = PASSIVE_LEVEL;
        for (ULONG Round = 0; Round < 500; ++Round) {
            ULONG List = 1 + (Round + Index) % 2;
            PVOID Mine = Id(1000 * (Index + 1) + Round % 4);
            if (Round % 3 == 0) {
                KeRaiseIrql(DISPATCH_LEVEL, &Irql); // the I/O path asks at DISPATCH_LEVEL
            }
            if (!ExemptFileAdd(Mine, List) || !ExemptFileContains(Mine, List) ||
                !ExemptFileRemove(Mine, List)) {
                Broken++;
            }
            if (Round % 3 == 0) {
                KeLowerIrql(Irql);
            }
        }
    });
    EXPECT_EQ(Broken.load(), 0);
    for (ULONG Index = 0; Index < 8; ++Index) {
        for (ULONG N = 0; N < 4; ++N) {
            EXPECT_FALSE(ExemptFileContains(Id(1000 * (Index + 1) + N), PASS_THROUGH_FILE_LIST));
            EXPECT_FALSE(ExemptFileContains(Id(1000 * (Index + 1) + N), OWN_FILE_LIST));
        }
    }
}

} // namespace
