// frozen_image_test.cpp - the integrity oracle: while writer programs keep
// overwriting files on C: (cached writes that the lazy writer sends down as
// paging writes, and non-cached writes), the agent's own thread freezes C:,
// reads \\.\C: at random places and sizes, reports its progress and thaws.
// Every byte it read must equal the volume as it was at the freeze, or its
// read must have failed with the broken state reported.
//
// Compared are all sectors except those of the driver's own files (the
// partial data file and the change store) and of the file system's internal
// streams, whose writes pass the freeze by design.
#include "frozen_image_agent.h"
#include "snapshot_fixture.h"

#include <cstring>

namespace {

struct OracleCase {
    ULONG SectorSize;
    bool PartialFileOnC; // else on E:
};

class FrozenImageTest : public SnapshotTest, public ::testing::WithParamInterface<OracleCase> {
  protected:
    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        Description.Storage[0].SectorSize = GetParam().SectorSize;
        Description.Storage.push_back(BOOT_STORAGE_DEVICE{u"E:", 8 << 20, 512, FALSE});
    }

    // Sectors of C: that belong to streams other than the writers' files.
    std::vector<bool> Excluded(const std::vector<std::u16string>& Compared, ULONG SectorSize) {
        std::vector<bool> excluded(Volumes()[0] != nullptr ? (8 << 20) / SectorSize : 0);
        FSP_VOLUME* fs = FsGetVolume(Volumes()[0]);
        std::vector<FSP_STREAM*> streams = FspVolumeStreams(fs);
        streams.push_back(fs->MetadataStream); // the internal stream passes the freeze
        for (FSP_STREAM* stream : streams) {
            bool compared = false;
            for (const std::u16string& name : Compared) {
                compared |= stream->Name == name;
            }
            if (compared) {
                continue;
            }
            for (ULONGLONG cluster : stream->Clusters) {
                ULONGLONG first = cluster * fs->ClusterSize / SectorSize;
                for (ULONG i = 0; i < fs->ClusterSize / SectorSize; i++) {
                    excluded[first + i] = true;
                }
            }
        }
        return excluded;
    }
};

TEST_P(FrozenImageTest, EveryByteReadIsTheImageAtTheFreeze) {
    const ULONG sectorSize = GetParam().SectorSize;
    const std::vector<std::u16string> files = {u"\\cached.bin", u"\\direct.bin"};
    WriteOnce(u"C:\\cached.bin", 256 << 10);
    WriteOnce(u"C:\\direct.bin", 256 << 10);

    OracleAgentJob agent;
    agent.Freeze = FreezeOfC();
    agent.Freeze.PartialDataFilePath = GetParam().PartialFileOnC ? u"C:\\partial.dat"
                                                                 : u"E:\\partial.dat";
    agent.SectorSize = sectorSize;
    agent.VolumeBytes = 8 << 20;
    agent.Seed = 12345;
    agent.Seen.assign(agent.VolumeBytes, 0);
    agent.Read.assign(agent.VolumeBytes / sectorSize, false);
    Running program = Start(OracleAgentProgram, &agent);
    ASSERT_TRUE(WaitFor([&] { return agent.Phase != 0; }, 20000));
    ASSERT_EQ(agent.Phase, 1) << "the freeze failed: " << agent.Freeze.Reply.Result;
    // No writer runs yet: this is the frozen image.
    std::vector<UCHAR> image = DiskSnapshotBackingStore(Volumes()[0]);

    WriterJob cached, direct;
    cached.Path = u"C:\\cached.bin";
    cached.Bytes = 256 << 10;
    direct.Path = u"C:\\direct.bin";
    direct.Bytes = 256 << 10;
    direct.Unbuffered = TRUE;
    Running writers[] = {Start(WriterProgram, &cached), Start(WriterProgram, &direct)};
    ASSERT_TRUE(WaitFor([&] { return cached.Writes > 64 && direct.Writes > 64; }, 20000));
    agent.Phase = 2;
    Finish(program);
    cached.Stop = true;
    direct.Stop = true;
    for (Running& writer : writers) {
        Finish(writer);
    }
    EXPECT_EQ(cached.Error, 0u);
    EXPECT_EQ(direct.Error, 0u);
    EXPECT_EQ(agent.ThawResult, 0u);

    if (agent.FailedReads != 0) {
        EXPECT_NE(agent.BrokenStatus & QVD_STATUS_BROKEN, 0u)
            << agent.FailedReads << " reads failed without the broken state reported";
    }
    std::vector<bool> excluded = Excluded(files, sectorSize);
    ULONG wrong = 0, checked = 0;
    for (size_t sector = 0; sector < agent.Read.size(); sector++) {
        if (!agent.Read[sector] || excluded[sector]) {
            continue;
        }
        checked++;
        size_t at = sector * sectorSize;
        if (std::memcmp(&agent.Seen[at], &image[at], sectorSize) != 0 && wrong++ < 5) {
            ADD_FAILURE() << "sector " << sector << " differs from the image at the freeze";
        }
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_GT(checked, agent.Read.size() / 2) << "too little of the volume was compared";
    EXPECT_EQ(agent.FailedReads, 0u) << "nothing should break this snapshot";
}

INSTANTIATE_TEST_SUITE_P(SectorSizesAndPartialFile, FrozenImageTest,
                         ::testing::Values(OracleCase{512, false}, OracleCase{512, true},
                                           OracleCase{4096, false}, OracleCase{4096, true}));

} // namespace
