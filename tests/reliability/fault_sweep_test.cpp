// fault_sweep_test.cpp - the systematic fault sweep. One snapshot run (freeze,
// cached and non-cached rewrites of two files, frozen reads of both, a
// progress report, extent-list mode, the extent list and the partial data
// file, thaw) is repeated with the driver's 1st, 2nd, ... pool allocation failed until a
// run meets no failure, then with the 1st, 2nd, ... read or write of C:
// failed (the old-data reads, the partial data file's and the change store's
// transfers and paging I/O, the volume sub-reads of frozen reads, the file
// system's own). Every other run reads the preserved data back once it
// reached the partial data file, the others while it is still in memory. Each run must end without
// a bug check, with the driver's pool and handles back at the baseline, the volume idle, every
// frozen read either the image at the freeze or reported broken, and a broken snapshot in the event
// log.
//
// QVD_RELIABILITY_FULL=1 fails every allocation and every transfer in turn;
// by default every seventh, so that the run stays short.
#include "reliability_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

const ULONG VolumeBytes = 8 << 20;

class FaultSweepTest : public ReliabilityTest {
  protected:
    void SetUp() override {
        ReliabilityTest::SetUp();
        ASSERT_EQ(Rewrite(u"C:\\direct.bin", 1, TRUE), 0u);
        ASSERT_EQ(Rewrite(u"C:\\cached.bin", 1, FALSE), 0u);
        ASSERT_EQ(Rewrite(u"C:\\still.bin", 1, FALSE), 0u); // read from the volume itself
        Ranges = RangesOf({u"\\direct.bin", u"\\cached.bin", u"\\still.bin"});
        ASSERT_EQ(Ranges.empty(), false);
        Run("warm-up", 2, [] {});
        ASSERT_FALSE(HasFailure());
        Baseline = DriverFootprint();
        HaveBaseline = true;
    }

    // One run with Arm injecting its fault just before the agent starts;
    // what Count says once the run ended, before the faults are reset.
    ULONG64 Run(
        const std::string& Label, UCHAR Fill, const std::function<void()>& Arm,
        const std::function<ULONG64()>& Count = [] { return 0; }) {
        SnapshotAgent agent;
        // The previous snapshot's store stays open until this one replaces
        // it: the stores alternate between two files.
        agent.Freeze = FreezeOfC(StoreFlip ? u"C:\\changes1.bmp" : u"C:\\changes0.bmp");
        agent.Freeze.QuietPeriodMs = 50;
        agent.Ranges = Ranges;
        agent.ListExtents = TRUE;
        agent.Excluded.assign(VolumeBytes / 512, false);
        agent.Patterned.assign(VolumeBytes / 512, false);
        agent.Checked.assign(VolumeBytes / 512, 0);
        const ULONG lostBefore = Events(QVD_MSG_FROZEN_STATE_LOST);

        Arm();
        Running program = Start(SnapshotAgentProgram, &agent);
        const bool answered = WaitFor([&] { return agent.Phase != 0; }, 20000);
        std::vector<UCHAR> image;
        if (agent.Phase == 1) {
            image = DiskSnapshotBackingStore(Volumes()[0]); // no writer runs yet
            agent.Image = image.data();
            Rewrite(u"C:\\direct.bin", Fill, TRUE);
            Rewrite(u"C:\\cached.bin", Fill, FALSE);
            if (Fill % 4 == 1) { // read the preserved data back from the partial data file
                WaitFor([&] {
                    return ReadAcquire(&FilterOfC()->SnapshotContext->UnflushedPieces) == 0;
                });
            }
        }
        const bool frozen = agent.Phase == 1;
        StoreFlip ^= frozen;
        agent.Phase = 2;
        Finish(program);
        const ULONG64 counted = Count();
        ExpResetPoolFaults();
        DiskClearFaults(Volumes()[0]);
        // Pages a failed flush left dirty go down now, not into the next image.
        Rewrite(u"C:\\cached.bin", Fill, FALSE, 0);

        EXPECT_TRUE(answered) << Label << ": the freeze did not return";
        const bool broken = (agent.BrokenStatus & QVD_STATUS_BROKEN) != 0;
        if (frozen) {
            // A broken snapshot no longer keeps the image; the agent learns
            // it from the progress report after its reads.
            EXPECT_TRUE(broken || agent.Mismatches.empty())
                << Label << ": " << agent.Mismatches.size()
                << " sectors read differ from the image, and the snapshot is not reported broken";
            EXPECT_EQ(agent.ThawResult, QVD_RESULT_SUCCESS) << Label;
            Tally.FailedReads += agent.FailedReads;
        } else {
            Tally.FreezesRefused++;
        }
        if (broken) {
            Tally.Broken++;
            EXPECT_GT(Events(QVD_MSG_FROZEN_STATE_LOST), lostBefore)
                << Label << ": broken, and the event log does not say so";
        }
        EXPECT_TRUE(Idle(FilterOfC())) << Label << ": not idle after the thaw";
        if (HaveBaseline) {
            EXPECT_TRUE(BackTo(Baseline)) << Label;
        }
        return counted;
    }

    struct {
        ULONG FreezesRefused = 0;
        ULONG Broken = 0;
        ULONG FailedReads = 0;
    } Tally;
    std::vector<ByteRange> Ranges;
    Footprint Baseline; // after a first run: its change store stays
    bool HaveBaseline = false;
    bool StoreFlip = false;
};

TEST_F(FaultSweepTest, EachAllocationThenEachTransferOfARunFailsInTurn) {
    const ULONG stride = std::getenv("QVD_RELIABILITY_FULL") != nullptr ? 1 : 7;
    ULONG allocationSites = 0;
    for (ULONG n = 1;; n += stride) {
        const std::string label = "allocation " + std::to_string(n);
        const ULONG64 attempts = Run(
            label, (UCHAR)(n * 2 + 1),
            [&] {
                ExpSetPoolFaultScope(EX_POOL_TAG('Q', 'v', 'd', 0), 0x00FFFFFFu);
                ExpMarkPoolAllocations();
                ExpFailPoolNthFromNow(n);
            },
            [] { return ExpPoolAllocationsSinceMark(); });
        ASSERT_FALSE(HasFailure()) << label;
        if (attempts < n) {
            break; // the run met no failure: the sweep has passed every site
        }
        allocationSites++;
        ASSERT_LT(n, 2000u) << "the sweep does not end";
    }

    ULONG transferSites = 0;
    for (ULONG n = 1;; n += stride) {
        const std::string label = "transfer " + std::to_string(n);
        const ULONG64 transfers = Run(
            label, (UCHAR)(n * 2 + 1),
            [&] { DiskFailNthTransferFromNow(Volumes()[0], n, STATUS_DEVICE_DATA_ERROR); },
            [&] { return DiskTransfersSinceMark(Volumes()[0]); });
        ASSERT_FALSE(HasFailure()) << label;
        if (transfers < n) {
            break;
        }
        transferSites++;
        ASSERT_LT(n, 20000u) << "the sweep does not end";
    }
    std::printf("%lu allocation sites and %lu I/O sites failed, 0 bug checks "
                "(%lu freezes refused, %lu snapshots broken, %lu frozen reads failed)\n",
                (unsigned long)allocationSites, (unsigned long)transferSites,
                (unsigned long)Tally.FreezesRefused, (unsigned long)Tally.Broken,
                (unsigned long)Tally.FailedReads);
}

} // namespace
