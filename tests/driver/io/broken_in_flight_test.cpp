// broken_in_flight_test.cpp - a frozen read whose sub-read is still in
// flight when the frozen state breaks: the write that broke it goes to the
// volume unpreserved at once, so with StayBroken the read must fail rather
// than return what it fetched.
#include "cow_fixture.h"
#include "ntos/disk/disk.h"
#include "ntos/ex/exp.h"
#include "support/pool_tags.h"

namespace {

TEST_F(CopyOnWriteTest, AReadInFlightWhenTheStateBreaksIsRefused) {
    const ULONG s = SectorSize;
    Extension->StayBroken = TRUE;
    DiskSetTiming(Volume, 200000, 0); // each request takes 200 ms
    NTSTATUS readStatus = STATUS_PENDING;
    RunOnSystemThreads(2, [&](ULONG Index) {
        if (Index == 0) {
            std::vector<UCHAR> buffer(s);
            readStatus = FrozenRead(40ull * s, buffer);
            return;
        }
        LARGE_INTEGER delay;
        delay.QuadPart = -500000; // 50 ms: the read's sub-read is at the volume
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        ExpFailPoolTag(QVD_TAG_TRANSFER_BUFFER, 1);
        EXPECT_EQ(Overwrite(40ull * s, s, 0xEE), STATUS_UNSUCCESSFUL);
    });
    DiskSetTiming(Volume, 0, 0);
    EXPECT_TRUE(IsFrozenStateBroken(Extension));
    EXPECT_EQ(readStatus, STATUS_ACCESS_DENIED);
}

} // namespace
