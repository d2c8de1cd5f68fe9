// volume_lookup_test.cpp - the names an agent gives for a volume, resolved on
// a booted machine to the filter device above that volume: drive letters in
// their three spellings, volume paths with and without the trailing
// backslash, drives of other devices, a read-only volume, long link targets.
#include "scenario_fixture.h"
#include "frame/frame.h"
#include "frame/volume_lookup.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class VolumeLookupScenario : public BootWithDriverTest {
  protected:
    void SetUp() override {
        BootWithDriverTest::SetUp();
        // A CD-ROM drive, and drive letters whose links point elsewhere.
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

    // The volume path an agent names Volume by: "\\?\Volume{GUID}", with
    // or without the trailing backslash.
    static std::u16string VolumePath(PDEVICE_OBJECT Volume, bool TrailingBackslash) {
        std::u16string link = DiskQueryVolumeGuidName(Volume); // \??\Volume{GUID}
        EXPECT_EQ(link.substr(0, 11), u"\\??\\Volume{");
        return u"\\\\?\\" + link.substr(4) + (TrailingBackslash ? u"\\" : u"");
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
    const std::u16string withBackslash = VolumePath(volumes[2], true);
    const std::u16string without = VolumePath(volumes[2], false);
    struct Case {
        PCWSTR Name;
        PDEVICE_OBJECT Expected;
        BOOLEAN ReadOnly;
    } cases[] = {
        {u"C", c, FALSE},
        {u"C:", c, FALSE},
        {u"c:\\", c, FALSE},
        {withBackslash.c_str(), unlettered, FALSE},
        {without.c_str(), unlettered, FALSE},
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
        PDEVICE_OBJECT found = FindFilterDeviceByName(k.Name, &readOnly, this);
        EXPECT_EQ(found, k.Expected);
        EXPECT_EQ(readOnly, k.ReadOnly);
        if (found != nullptr) {
            IoReleaseRemoveLock(&static_cast<FilterExtension*>(found->DeviceExtension)->RemoveLock, this);
        }
    }
}

TEST_F(VolumeLookupScenario, VolumesOpenForReadingAndTellTheirSize) {
    const std::u16string guidLink = DiskQueryVolumeGuidName(Volumes()[2]);
    for (PCWSTR name : {u"C:", u"C:\\", guidLink.c_str()}) {
        HANDLE volume = OpenVolumeForRead(name);
        ASSERT_NE(volume, nullptr);
        VolumeSizeInfo info = {};
        EXPECT_EQ(QueryVolumeSize(volume, &info), 0);
        EXPECT_GT(info.BytesPerAllocationUnit, 0u);
        EXPECT_GE(info.TotalAllocationUnits, info.AvailableAllocationUnits);
        EXPECT_LE(ULONGLONG(info.TotalAllocationUnits) * info.BytesPerAllocationUnit, 8ULL << 20);
        CloseHandleIfOpen(volume);
    }
    EXPECT_EQ(OpenVolumeForRead(u"Q:"), nullptr);
    EXPECT_EQ(OpenVolumeForRead(u""), nullptr);
}

} // namespace
