// integrity_fixture.h - the booted machine of the integrity scenarios: C:
// as the scenarios' fixture makes it and a second volume E: for the partial
// data file, with the file system's map of C: (which volume sectors a file
// holds, and which belong to the system's own streams).
#pragma once

#include "snapshot_fixture.h"
#include "ntos/ex/exp.h"

#include <mutex>
#include <string>
#include <vector>

class IntegrityTest : public SnapshotTest {
  protected:
    static constexpr ULONG VolumeBytes = 8 << 20; // of C:

    void Describe(BOOT_MACHINE_DESCRIPTION& Description) override {
        Description.Storage.push_back(BOOT_STORAGE_DEVICE{u"E:", BytesOfE, 512, FALSE});
    }
    void TearDown() override {
        ExpResetPoolFaults();
        SnapshotTest::TearDown();
    }

    PDEVICE_OBJECT VolumeE() { return DiskFindVolume(u"\\??\\E:"); }

    // The volume sector of each sector of C:'s file Name ("\name").
    std::vector<ULONGLONG> SectorMap(const std::u16string& Name, ULONG SectorSize) {
        FSP_VOLUME* fs = FsGetVolume(Volumes()[0]);
        std::vector<ULONGLONG> map;
        for (FSP_STREAM* stream : FspVolumeStreams(fs)) {
            if (stream->Name == Name) {
                AddClusters(fs, stream, SectorSize, map);
            }
        }
        return map;
    }

    // Sectors of C: that belong to streams other than the Compared files
    // (the internal stream, the partial data file, the change store): their
    // writes pass the freeze by design.
    std::vector<bool> Excluded(const std::vector<std::u16string>& Compared, ULONG SectorSize) {
        FSP_VOLUME* fs = FsGetVolume(Volumes()[0]);
        std::vector<FSP_STREAM*> streams = FspVolumeStreams(fs);
        streams.push_back(fs->MetadataStream);
        std::vector<ULONGLONG> sectors;
        for (FSP_STREAM* stream : streams) {
            bool compared = false;
            for (const std::u16string& name : Compared) {
                compared |= stream->Name == name;
            }
            if (!compared) {
                AddClusters(fs, stream, SectorSize, sectors);
            }
        }
        std::vector<bool> excluded(VolumeBytes / SectorSize);
        for (ULONGLONG sector : sectors) {
            excluded[sector] = true;
        }
        return excluded;
    }

    ULONGLONG BytesOfE = 8 << 20;

  private:
    static void AddClusters(FSP_VOLUME* Fs, FSP_STREAM* Stream, ULONG SectorSize,
                            std::vector<ULONGLONG>& Sectors) {
        std::lock_guard<std::mutex> guard(Fs->Lock);
        for (ULONGLONG cluster : Stream->Clusters) {
            for (ULONG i = 0; i < Fs->ClusterSize / SectorSize; i++) {
                Sectors.push_back(cluster * Fs->ClusterSize / SectorSize + i);
            }
        }
    }
};
