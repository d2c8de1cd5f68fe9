// reliability_fixture.h - the booted machine of the reliability suites, with
// a clock that runs ten times host speed (short quiet periods), the driver's
// footprint (pool by tag, System handles) to compare with a baseline, and
// the sectors of named files to check a frozen image by.
#pragma once

#include "scenario/snapshot_fixture.h"
#include "scenario/snapshot_agent.h"
#include "resources/messages.h"
#include "support/pool_tags.h"
#include "ntos/ex/exp.h"
#include "ntos/ps/psp.h"

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

class ReliabilityTest : public SnapshotTest {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override { Description.ClockScale = 1.0; }

    // What the driver holds of the machine: its live pool blocks by tag, and
    // the handles of the System process (the driver's kernel handles).
    // WithoutCaches leaves out "QvdU", whose block pool pages stay cached at
    // the most a load needed.
    struct Footprint {
        std::vector<ExpPoolTagUsage> Pool;
        ULONG SystemHandles;
        // Text names every figure, so equal texts are equal footprints.
        bool operator==(const Footprint& Other) const { return Text(*this) == Text(Other); }
    };
    static Footprint DriverFootprint(bool WithoutCaches = false) {
        Footprint footprint;
        for (const ExpPoolTagUsage& usage : ExpListPoolTags()) {
            if ((usage.Tag & 0x00FFFFFFu) == (EX_POOL_TAG('Q', 'v', 'd', 0) & 0x00FFFFFFu) &&
                !(WithoutCaches && usage.Tag == QVD_TAG_ZEROED)) {
                footprint.Pool.push_back(usage);
            }
        }
        footprint.SystemHandles =
            KiKernelRunning() ? ObpCountHandles(PsInitialSystemProcess->ObjectTable) : 0;
        return footprint;
    }
    static std::string Text(const Footprint& Print) {
        std::ostringstream text;
        for (const ExpPoolTagUsage& usage : Print.Pool) {
            text << ExpFormatPoolTag(usage.Tag) << ":" << usage.NonPagedBlocks << "+"
                 << usage.PagedBlocks << "/" << usage.NonPagedBytes << "+" << usage.PagedBytes
                 << "B ";
        }
        text << Print.SystemHandles << " System handles";
        return text.str();
    }
    // Waits (host time) for the footprint to come back to Baseline; reclaim
    // and the work queues may still be finishing. Failure names both.
    ::testing::AssertionResult BackTo(const Footprint& Baseline, int TimeoutMs = 5000,
                                      bool WithoutCaches = false) {
        Footprint now;
        if (WaitFor([&] { return (now = DriverFootprint(WithoutCaches)) == Baseline; },
                    TimeoutMs)) {
            return ::testing::AssertionSuccess();
        }
        return ::testing::AssertionFailure()
               << "footprint " << Text(now) << ", expected " << Text(Baseline);
    }

    // The byte ranges of C: that hold the files Names (paths from the root).
    std::vector<ByteRange> RangesOf(const std::vector<std::u16string>& Names) {
        const ULONG clusterSize = FsGetVolume(Volumes()[0])->ClusterSize;
        std::vector<ByteRange> ranges;
        for (const std::u16string& name : Names) {
            for (ULONGLONG cluster : ClustersOf(Volumes()[0], name)) {
                const ULONGLONG offset = cluster * clusterSize;
                if (!ranges.empty() && ranges.back().Offset + ranges.back().Length == offset) {
                    ranges.back().Length += clusterSize;
                } else {
                    ranges.push_back(ByteRange{offset, clusterSize});
                }
            }
        }
        return ranges;
    }

    // No snapshot and no quiescing on Volume (the aborted mark may stay).
    static bool Idle(FilterExtension* Volume) {
        return (ReadVolumeFlags(Volume) & (VOLUME_QUIESCING | VOLUME_FROZEN |
                                           VOLUME_OWNER_RECORDED | VOLUME_EXTENT_LIST)) == 0;
    }

    // Rewrites Path with Fill (cached or not) and flushes it from a writer
    // program; the status of a failure, or 0.
    ULONG Rewrite(const char16_t* Path, UCHAR Fill, BOOLEAN Unbuffered, ULONG Bytes = 64 << 10) {
        WriterJob job;
        job.Path = Path;
        job.Bytes = Bytes;
        job.Unbuffered = Unbuffered;
        job.Fill = Fill;
        job.Flush = TRUE;
        job.Stop = true;
        ULONG exitCode = 99;
        EXPECT_EQ(BootRunUserProgram(u"writer.exe", WriterProgram, &job, &exitCode),
                  STATUS_SUCCESS);
        return exitCode != 0 ? ~0u : job.Error;
    }
};
