// volume_lookup_test.cpp - the names an agent gives for a volume, resolved on
// a booted machine to the filter device above that volume: drive letters in
// their three spellings, volume paths with and without the trailing
// backslash, drives of other devices, a read-only volume, long link targets.
#include "snapshot_fixture.h"
#include "frame/frame.h"
#include "frame/volume_lookup.h"

#include <gtest/gtest.h>

#include <string>

namespace {

#define VOLUME3_GUID_LINK u"\\??\\Volume{0b5e1a70-0000-4000-8000-00000000a003}"
#define VOLUME3_PATH u"\\\\?\\Volume{0b5e1a70-0000-4000-8000-00000000a003}"

class VolumeLookupScenario : public BootWithDriverTest {
  protected:
    void SetUp() override {
        BootWithDriverTest::SetUp();
        // The volume without a letter reached by a volume path, a CD-ROM
        // drive, and drive letters whose links point elsewhere.
        Link(VOLUME3_GUID_LINK, u"\\Device\\HarddiskVolume3");
        DISK_VOLUME_CONFIG cdrom;
        cdrom.CdRom = TRUE;
        cdrom.DriveLetter = u"E:";
        cdrom.Bytes = 2048 * 1024;
        PDEVICE_OBJECT pdo = nullptr;
        ASSERT_EQ(DiskAddVolume(cdrom, &pdo), STATUS_SUCCESS);
        // A target of more than 35 characters: read again into pool.
        Link(u"\\Device\\HarddiskVolumeWithAVeryLongAlias1", u"\\Device\\HarddiskVolume1");
        Link(u"\\DosDevices\\L:", u"\\Device\\HarddiskVolumeWithAVeryLongAlias1");
        // Shorter than the prefix the letters of volumes have.
        Link(u"\\DosDevices\\S:", u"\\Device\\X");
        // Below \Device\Harddisk, spelled in another case.
        Link(u"\\DosDevices\\M:", u"\\device\\harddiskVolume1");
    }

    void Link(PCWSTR Name, PCWSTR Target) {
        UNICODE_STRING name, target;
        RtlInitUnicodeString(&name, Name);
        RtlInitUnicodeString(&target, Target);
        ASSERT_EQ(IoCreateSymbolicLink(&name, &target), STATUS_SUCCESS);
    }

    // The filter device attached above Volume.
    static PDEVICE_OBJECT FilterAbove(PDEVICE_OBJECT Volume) { return Volume->AttachedDevice; }
};

TEST_F(VolumeLookupScenario, NamesResolveToTheFilterAboveTheirVolume) {
    const std::vector<PDEVICE_OBJECT> volumes = Volumes();
    PDEVICE_OBJECT c = FilterAbove(volumes[0]);
    PDEVICE_OBJECT unlettered = FilterAbove(volumes[2]);
    ASSERT_NE(c, nullptr);
    ASSERT_NE(unlettered, nullptr);
    struct Case {
        PCWSTR Name;
        PDEVICE_OBJECT Expected;
        BOOLEAN ReadOnly;
    } cases[] = {
        {u"C", c, FALSE},
        {u"C:", c, FALSE},
        {u"c:\\", c, FALSE},
        {VOLUME3_PATH u"\\", unlettered, FALSE},
        {VOLUME3_PATH, unlettered, FALSE},
        {u"D:", nullptr, TRUE},
        {u"E:", nullptr, FALSE},
        {u"L:", c, FALSE},
        {u"M:", c, FALSE},
        {u"S:", nullptr, FALSE},
        {u"Q:", nullptr, FALSE},
        {u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", nullptr, FALSE},
        {u"", nullptr, FALSE},
    };
    for (const Case& k : cases) {
        const std::u16string name(k.Name);
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        BOOLEAN readOnly = 2;
        PDEVICE_OBJECT found = FindFilterDeviceByName(k.Name, &readOnly);
        EXPECT_EQ(found, k.Expected);
        EXPECT_EQ(readOnly, k.ReadOnly);
        if (found != nullptr) {
            ReleaseFilterDevice(static_cast<FilterExtension*>(found->DeviceExtension));
        }
    }
}

} // namespace
