// integrity_torture_test.cpp - the integrity torture: writer programs fill
// files of C: with self-describing sectors and stop; the agent's own thread
// freezes C: and the host copies the volume (the image the agent must see);
// then eight writers overwrite those files at random (cached and flushed,
// cached and left to the lazy writer, non-cached, through a mapped view, and
// raw sector writes to \\.\C:) while the agent reads the frozen image at
// random places and sizes, reporting its progress, and thaws. Every sector
// read must be the image at the freeze, or the read must have failed with the
// broken state reported.
//
// Compared are all sectors except those of the system's own streams (the
// partial data file, the change store, the file system's internal stream),
// whose writes pass the freeze by design. QVD_TORTURE_PASSES (default 32) sets how
// many times each sector is read; every run prints its figure.
#include "snapshot_agent.h"
#include "integrity_writers.h"
#include "integrity_fixture.h"
#include "support/pool_tags.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace {

enum class Stress {
    None,
    MemoryShort, // now and then an allocation of the driver fails
    DiskSlow,    // both volumes answer after a delay
};

struct TortureCase {
    const char* Name;
    ULONG SectorSize;
    bool PartialFileOnC; // else on E:
    Stress Condition;
    bool SanitizerRow; // also run by the sanitizer builds
};

const ULONG FileBytes = 384 << 10;

class IntegrityTortureTest : public IntegrityTest,
                             public ::testing::WithParamInterface<TortureCase> {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        IntegrityTest::Describe(Description);
        Description.Storage[0].SectorSize = GetParam().SectorSize;
    }
};

// Sanitizer builds run many times slower. To stay in CI time they read each
// sector once, their writers pause between writes so that the agent gets the
// processor, and only three rows run (both sector sizes, both places of the
// partial data file, short memory).
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const ULONG DefaultPasses = 1;
const ULONG WriterPauseMs = 1;
const bool EveryRow = false;
#else
const ULONG DefaultPasses = 32;
const ULONG WriterPauseMs = 0;
const bool EveryRow = true;
#endif

ULONG PassesWanted() {
    const char* passes = std::getenv("QVD_TORTURE_PASSES");
    return passes != nullptr && std::atoi(passes) > 0 ? static_cast<ULONG>(std::atoi(passes))
                                                      : DefaultPasses;
}

TEST_P(IntegrityTortureTest, EverySectorReadIsTheImageAtTheFreeze) {
    const TortureCase& torture = GetParam();
    if (!EveryRow && !torture.SanitizerRow) {
        GTEST_SKIP() << "left to the default build";
    }
    const ULONG sectorSize = torture.SectorSize;
    const struct {
        WriterKind Kind;
        const char16_t* Name;
    } plan[] = {
        {WriterKind::Cached, u"\\cached1.bin"},   {WriterKind::Cached, u"\\cached2.bin"},
        {WriterKind::Lazy, u"\\lazy1.bin"},       {WriterKind::Lazy, u"\\lazy2.bin"},
        {WriterKind::NonCached, u"\\direct.bin"}, {WriterKind::Mapped, u"\\mapped.bin"},
        {WriterKind::Raw, u"\\raw1.bin"},         {WriterKind::Raw, u"\\raw2.bin"},
    };
    std::atomic<ULONGLONG> sequence{1};
    std::vector<std::u16string> names, paths;
    std::vector<std::unique_ptr<IntegrityWriter>> writers;
    for (const auto& entry : plan) {
        names.push_back(entry.Name);
        paths.push_back(u"C:" + names.back());
        WriteOnce(paths.back().c_str(), FileBytes);
        auto writer = std::make_unique<IntegrityWriter>();
        writer->Kind = entry.Kind;
        writer->Path = paths.back().c_str();
        writer->SectorSize = sectorSize;
        writer->Map = SectorMap(names.back(), sectorSize);
        ASSERT_EQ(writer->Map.size(), FileBytes / sectorSize);
        writer->Sequence = &sequence;
        writer->Seed = static_cast<ULONG>(writers.size()) + 1;
        writer->PauseMs = WriterPauseMs;
        writer->FillOnly = TRUE;
        ULONG exitCode = 99;
        ASSERT_EQ(
            BootRunUserProgram(u"writer.exe", IntegrityWriterProgram, writer.get(), &exitCode),
            STATUS_SUCCESS);
        ASSERT_EQ(exitCode, 0u) << "filling failed: " << writer->Error;
        writer->FillOnly = FALSE;
        writers.push_back(std::move(writer));
    }

    SnapshotAgent agent;
    agent.Freeze = FreezeOfC();
    // A broken image fails the agent's reads rather than showing the live volume.
    agent.Freeze.FreezeFlags = QVD_FREEZE_STAY_BROKEN;
    agent.Freeze.PartialDataFilePath =
        torture.PartialFileOnC ? u"C:\\partial.dat" : u"E:\\partial.dat";
    agent.SectorSize = sectorSize;
    agent.Seed = 12345;
    agent.Reading = AgentReads::Segments;
    // A slow disk makes each read cost more; fewer passes keep its run short.
    agent.Passes = torture.Condition == Stress::DiskSlow ? 1 + PassesWanted() / 8 : PassesWanted();
    agent.Checked.assign(VolumeBytes / sectorSize, 0);
    Running program = Start(SnapshotAgentProgram, &agent);
    ASSERT_TRUE(WaitFor([&] { return agent.Phase != 0; }, 20000));
    ASSERT_EQ(agent.Phase, 1) << "the freeze failed: " << agent.Freeze.Reply.Result;
    // No writer runs yet: this is the frozen image.
    std::vector<UCHAR> image = DiskSnapshotBackingStore(Volumes()[0]);
    agent.Image = image.data();
    agent.FreezeSequence = sequence;
    agent.Excluded = Excluded(names, sectorSize);
    agent.Patterned.assign(VolumeBytes / sectorSize, false);
    for (const auto& writer : writers) {
        for (ULONGLONG sector : writer->Map) {
            agent.Patterned[sector] = true;
        }
    }

    if (torture.Condition == Stress::MemoryShort) {
        ExpSetPoolFaultScope(QVD_TAG_SCRATCH, 0x00FFFFFF); // every tag of the driver
        ExpFailPoolRandom(7, 0.001);
    } else if (torture.Condition == Stress::DiskSlow) {
        DiskSetTiming(Volumes()[0], 100, 0);
        DiskSetTiming(VolumeE(), 100, 0);
    }
    std::vector<Running> running;
    for (const auto& writer : writers) {
        running.push_back(Start(IntegrityWriterProgram, writer.get()));
    }
    ASSERT_TRUE(WaitFor(
        [&] {
            for (const auto& writer : writers) {
                if (writer->Writes < 4 && writer->Error == 0) {
                    return false;
                }
            }
            return true;
        },
        20000));
    agent.Phase = 2;
    Finish(program);
    for (auto& writer : writers) {
        writer->Stop = true;
    }
    for (Running& writer : running) {
        Finish(writer);
    }
    const ULONG64 injected = ExpPoolInjectedFailures();
    ExpResetPoolFaults();
    for (const auto& writer : writers) {
        EXPECT_EQ(writer->Error, 0u) << std::string(writer->Path, writer->Path + 2);
    }
    EXPECT_EQ(agent.ThawResult, 0u);
    if (torture.Condition == Stress::MemoryShort) {
        EXPECT_GT(injected, 0u) << "no allocation of the driver failed";
    }

    // The partial data file grew while the agent read: its sectors hold what
    // the driver wrote there, not the image.
    std::vector<bool> excluded = Excluded(names, sectorSize);
    ULONGLONG checks = 0, wrong = 0;
    for (size_t sector = 0; sector < excluded.size(); sector++) {
        checks += excluded[sector] ? 0 : agent.Checked[sector];
    }
    for (const SnapshotAgent::Mismatch& mismatch : agent.Mismatches) {
        if (!excluded[mismatch.Sector] && wrong++ < 5) {
            ADD_FAILURE() << "sector " << mismatch.Sector << " is not the image at the freeze ("
                          << SectorVerdictName(mismatch.Verdict) << ")";
        }
    }
    if (agent.FailedReads != 0) {
        EXPECT_NE(agent.BrokenStatus & QVD_STATUS_BROKEN, 0u)
            << agent.FailedReads << " reads failed without the broken state reported";
    }
    if (torture.Condition != Stress::MemoryShort) {
        EXPECT_EQ(agent.FailedReads, 0u) << "nothing should break this snapshot";
        EXPECT_GE(checks, static_cast<ULONGLONG>(agent.Passes) * (VolumeBytes / sectorSize) / 2)
            << "too little of the volume was compared";
    }
    std::printf("%llu sector checks, %llu wrong sectors\n", (unsigned long long)checks,
                (unsigned long long)wrong);
}

// Names the row in test listings instead of dumping its bytes.
void PrintTo(const TortureCase& Row, std::ostream* Out) {
    *Out << Row.Name;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, IntegrityTortureTest,
    ::testing::Values(
        TortureCase{"Sectors512_PartialOnE", 512, false, Stress::None, true},
        TortureCase{"Sectors512_PartialOnC", 512, true, Stress::None, false},
        TortureCase{"Sectors4096_PartialOnE", 4096, false, Stress::None, false},
        TortureCase{"Sectors4096_PartialOnC", 4096, true, Stress::None, true},
        TortureCase{"Sectors512_PartialOnE_MemoryShort", 512, false, Stress::MemoryShort, true},
        TortureCase{"Sectors4096_PartialOnC_MemoryShort", 4096, true, Stress::MemoryShort, false},
        TortureCase{"Sectors512_PartialOnC_DiskSlow", 512, true, Stress::DiskSlow, false}),
    [](const ::testing::TestParamInfo<TortureCase>& Row) { return std::string(Row.param.Name); });

} // namespace
