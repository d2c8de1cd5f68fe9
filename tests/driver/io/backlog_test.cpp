// backlog_test.cpp - preserved data waiting for its flush stays within the
// backlog's budget, and a writer waiting for room never waits for ever.
#include "cow_fixture.h"
#include "ntos/disk/disk.h"
#include "support/pool_tags.h"

#include <atomic>
#include <memory>
#include <thread>

namespace {

constexpr ULONG Part = 64u << 10; // one preservation part: a block of 512-byte sectors

// True once Writer found no room and waits for it (so it holds its volume's
// resource shared); false if it ended instead.
bool WaitsForRoom(SystemThread& Writer) {
    while (KeReadStateEvent(&BacklogGlobals.Room) != 0) {
        if (Writer.Ended(1)) {
            return false;
        }
    }
    return !Writer.Ended(0);
}

TEST_F(CopyOnWriteTest, BacklogStaysWithinBudgetWhenTheBackupVolumeIsSlow) {
    const SIZE_T budget = 4 * Part;
    BacklogGlobals.Budget = budget;
    DiskSetTiming(Store, 2000, 8ull << 20);

    // Four writers overwrite 2 MiB, eight times the budget, while a fifth
    // thread watches the pool that holds the memory copies.
    constexpr ULONG writers = 4, writes = 8;
    std::atomic<ULONG> done{0};
    SIZE_T peak = 0;
    RunOnSystemThreads(writers + 1, [&](ULONG index) {
        if (index == writers) {
            while (done.load() < writers) {
                SIZE_T bytes = ExpQueryPoolTag(QVD_TAG_PRESERVED_DATA).PagedBytes;
                peak = bytes > peak ? bytes : peak;
                std::this_thread::yield();
            }
            return;
        }
        for (ULONG k = 0; k < writes; k++) {
            EXPECT_EQ(Overwrite((ULONGLONG)(k * writers + index) * Part, Part, (UCHAR)index),
                      STATUS_SUCCESS);
        }
        done++;
    });
    EXPECT_LE(peak, budget) << "memory copies outgrew the budget";
    EXPECT_GE(peak, budget / 2) << "the writers never got ahead of the flushes";

    WaitForFlushes();
    EXPECT_EQ(BacklogGlobals.Committed, 0);
    EXPECT_FALSE(IsFrozenStateBroken(Extension));
    std::vector<UCHAR> image(writers * writes * Part);
    ASSERT_EQ(FrozenRead(0, image), STATUS_SUCCESS);
    EXPECT_TRUE(image == Image(0, (ULONG)image.size())) << "frozen image differs";
}

TEST_F(CopyOnWriteTest, WriterWaitingForRoomGoesOnWhenTheStateBreaksOrAThawWaits) {
    BacklogGlobals.Budget = Part;
    HoldFlushQueue();
    ASSERT_EQ(Overwrite(0, Part, 1), STATUS_SUCCESS); // the budget is spent

    // A break wakes the waiter, which gives up without preserving.
    NTSTATUS status = STATUS_PENDING;
    auto waiter = std::make_unique<SystemThread>([&] { status = Overwrite(Part, Part, 2); });
    EXPECT_TRUE(WaitsForRoom(*waiter)) << "a writer went on over budget";
    SetFrozenStateBroken(Extension, TRUE);
    if (!waiter->Ended(5000)) {
        ReleaseFlushQueue(); // lets the writer end
        FAIL() << "the break left the writer waiting";
    }
    waiter.reset();
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    SetFrozenStateBroken(Extension, FALSE);

    // A thaw waiting for VolumeResource, which the waiting writer holds
    // shared, may hold up the flushes (they wait behind it, on this volume
    // or on the partial data file's): the writer goes on over budget.
    waiter = std::make_unique<SystemThread>([&] { status = Overwrite(2 * Part, Part, 3); });
    EXPECT_TRUE(WaitsForRoom(*waiter)) << "a writer went on over budget";
    SystemThread thaw([&] {
        AcquireVolumeLock(Extension, TRUE);
        ReleaseVolumeLock(Extension, PsGetCurrentThread());
    });
    bool woke = waiter->Ended(5000) && thaw.Ended(5000);
    ReleaseFlushQueue();
    EXPECT_TRUE(woke) << "writer, flushes and thaw wait for one another";
    waiter.reset();
    EXPECT_EQ(status, STATUS_SUCCESS);
    WaitForFlushes();
    EXPECT_EQ(BacklogGlobals.Committed, 0);
}

} // namespace
